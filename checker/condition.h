// What the checker needs to know of a Windows Installer condition (the Condition
// column of a sequence table): whether it can be read at all and which
// properties it names. The installer's condition language: property names,
// "quoted text", integers, the operators = <> < > <= >= >< << >> ~ and the
// keywords NOT AND OR XOR EQV IMP (any case), parentheses, and the references
// %environment, $component, ?component, &feature and !feature, which are not
// properties.
#ifndef OSTREL_CHECKER_CONDITION_H
#define OSTREL_CHECKER_CONDITION_H

#include <string>
#include <vector>

struct ConditionReading {
    bool empty = true;                    // no condition at all: the action always runs
    bool readable = true;                 // false: the text is not a condition the checker can read
    std::vector<std::string> properties;  // the property names, in order, once each
};

ConditionReading ReadCondition(const std::string& condition);

#endif  // OSTREL_CHECKER_CONDITION_H
