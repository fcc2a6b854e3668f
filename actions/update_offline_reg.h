// CAUpdateOfflineReg: fills the installed offline registration page register.htm
// with the registry URN and the encoded service tag from svctag.xml, once, then
// moves the progress bar by 3000 ticks. Runs immediately (input from the property
// UpdateRegistration) or deferred (input from CustomActionData).
#ifndef OSTREL_ACTIONS_UPDATE_OFFLINE_REG_H
#define OSTREL_ACTIONS_UPDATE_OFFLINE_REG_H

#include "module/exports.h"

#endif  // OSTREL_ACTIONS_UPDATE_OFFLINE_REG_H
