// MsiFormatRecordW: the installer's record formatting. Field 0 of the record is
// the template, formatted by the installer's documented rules:
//   [NAME]        the value of the property NAME; an unset property gives nothing
//   [n]           field n of the record (text, or an integer in decimal); a null or
//                 missing field gives nothing
//   [%NAME]       the environment variable NAME
//   [#key]        the full path of the file `key` of the File table, [!key] its
//                 short path (the full path when no short one was given), and
//                 [$key] the directory of the component `key`: from the tables the
//                 session was given (InstallerSetFilePath,
//                 InstallerSetComponentDirectory); nothing for a key not there, as
//                 for a file or component the installation leaves absent
//   [~]           a null character (the separator of a registry multi-string)
//   [\x]          the character x itself, without further processing; anything
//                 else up to the "]" is dropped, so [\[] gives "["
//   {...}         text with references in it: kept without its braces when every
//                 reference inside gave a value, dropped whole when one gave
//                 nothing; text without references keeps its braces
// Brackets resolve from the inside out: in [[P]] the value of P names the property
// whose value is printed. A "[" or "{" without its closing partner stays as it is,
// and so does "[]". Expanded values are not expanded again. A record whose field
// 0 is null formats as its fields listed "1: value 2: value ...".
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/msi/installer_internal.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

std::u16string FieldText(const InstallerField& field) {
    if (field.isNull) {
        return std::u16string();
    }
    if (!field.isInteger) {
        return field.text;
    }
    const std::string digits = std::to_string(field.integer);
    return std::u16string(digits.begin(), digits.end());
}

// The field number written in `reference`, or -1 when it is not all digits.
long FieldNumber(const std::u16string& reference) {
    long number = 0;
    for (char16_t c : reference) {
        if (c < u'0' || c > u'9') {
            return -1;
        }
        // Field numbers end at 65535; a larger number names no field.
        number = number > 65535 ? number : number * 10 + (c - u'0');
    }
    return number;
}

// The value a reference resolves to, and whether it gave one (for {...} groups).
std::u16string Resolve(const std::u16string& reference, const installer::Record& record,
                       const installer::Session* session, bool* found) {
    std::u16string value;
    const long number = reference.empty() ? -1 : FieldNumber(reference);
    if (reference.empty()) {
        // An inner reference that gave nothing names nothing.
    } else if (number >= 0) {
        if (static_cast<unsigned long>(number) < record.fields.size()) {
            value = FieldText(record.fields[static_cast<size_t>(number)]);
        }
    } else if (reference == u"~") {
        value.assign(1, u'\0');
    } else if (reference[0] == u'%') {
        const char* variable = std::getenv(Utf16ToUtf8(reference.substr(1)).c_str());
        if (variable != nullptr) {
            value = Utf8ToUtf16(std::string(variable));
        }
    } else if (session != nullptr && (reference[0] == u'#' || reference[0] == u'!')) {
        auto it = session->files.find(reference.substr(1));
        if (it != session->files.end()) {
            const bool shortForm = reference[0] == u'!' && !it->second.shortPath.empty();
            value = shortForm ? it->second.shortPath : it->second.path;
        }
    } else if (session != nullptr && reference[0] == u'$') {
        auto it = session->componentDirectories.find(reference.substr(1));
        if (it != session->componentDirectories.end()) {
            value = it->second;
        }
    } else if (session != nullptr) {
        auto it = session->properties.find(reference);
        if (it != session->properties.end()) {
            value = it->second;
        }
    }
    *found = !value.empty();
    return value;
}

// A "[" or "{" not yet closed, and what has been formatted inside it so far.
struct OpenGroup {
    char16_t opener;
    std::u16string text;
    bool hasReference = false;  // a reference was resolved right inside it
    bool missing = false;       // ...and one of them gave nothing (for braces)
};

std::u16string Expand(const std::u16string& text, const installer::Record& record,
                      const installer::Session* session) {
    std::u16string out;
    std::vector<OpenGroup> open;  // innermost last
    const auto sink = [&]() -> std::u16string& { return open.empty() ? out : open.back().text; };
    size_t i = 0;
    while (i < text.size()) {
        const char16_t c = text[i];
        if (c == u'[' && i + 2 < text.size() && text[i + 1] == u'\\') {
            const size_t close = text.find(u']', i + 3);
            if (close != std::u16string::npos) {
                sink().push_back(text[i + 2]);
                i = close + 1;
                continue;
            }
        }
        ++i;
        if (c == u'[' || c == u'{') {
            open.push_back(OpenGroup{c, std::u16string()});
        } else if (c == u']' && !open.empty() && open.back().opener == u'[') {
            const OpenGroup bracket = std::move(open.back());
            open.pop_back();
            if (bracket.text.empty() && !bracket.hasReference) {
                sink() += u"[]";  // written so in the template: text
                continue;
            }
            bool found = false;
            sink() += Resolve(bracket.text, record, session, &found);
            if (!open.empty()) {
                open.back().hasReference = true;
            }
            for (auto group = open.rbegin(); group != open.rend(); ++group) {
                if (group->opener == u'{') {
                    group->hasReference = true;
                    group->missing = group->missing || !found;
                    break;
                }
            }
        } else if (c == u'}' && !open.empty() && open.back().opener == u'{') {
            OpenGroup group = std::move(open.back());
            open.pop_back();
            if (!group.hasReference) {
                sink() += u"{" + group.text + u"}";
            } else if (!group.missing) {
                sink() += group.text;
            }
        } else {
            sink().push_back(c);
        }
    }
    // Groups never closed are text, their openers included.
    while (!open.empty()) {
        OpenGroup group = std::move(open.back());
        open.pop_back();
        sink() += group.opener + group.text;
    }
    return out;
}

std::u16string ListFields(const installer::Record& record) {
    std::u16string out;
    for (size_t n = 1; n < record.fields.size(); ++n) {
        const std::string number = std::to_string(n);
        out.append(number.begin(), number.end());
        out += u": ";
        out += FieldText(record.fields[n]);
        out += u" ";
    }
    return out;
}

}  // namespace

// Formats the record into the buffer with the installer's length protocol. The
// install handle may be 0, in which case property references give nothing.
UINT MsiFormatRecordW(MSIHANDLE install, MSIHANDLE record, LPWSTR result, DWORD* length) {
    uint32_t code = 0;
    if (SeamCallFails("MsiFormatRecordW", &code)) {
        return code;
    }
    installer::Store& store = installer::TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    const installer::Session* session = installer::FindSession(store, install);
    const installer::Record* entry = installer::FindRecord(store, record);
    if ((install != 0 && session == nullptr) || entry == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const InstallerField& templ = entry->fields[0];
    const std::u16string formatted =
        templ.isNull ? ListFields(*entry) : Expand(FieldText(templ), *entry, session);
    return installer::CopyOut(formatted, result, length);
}
