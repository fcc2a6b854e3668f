// MsiFormatRecordW: the installer's record formatting. Field 0 of the record is
// the template; the forms understood are the ones custom actions rely on:
//   [NAME]  the value of the property NAME; an unset property gives nothing
//   [n]     field n of the record (text, or an integer in decimal); a null or
//           missing field gives nothing
//   [\x]    the character x itself, so [\[] gives "["
// A "[" without a closing "]" stays as it is, as does "[]"; when another "[" comes
// before the "]", the first one is kept as text and the inner reference is
// expanded. Expanded values are not expanded again. A record whose field 0 is
// null formats as its fields listed "1: value 2: value ...".
#include <string>

#include "platform/posix/msi/installer_internal.h"
#include "platform/posix/shared/seams.h"

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

std::u16string Expand(const std::u16string& text, const installer::Record& record,
                      const installer::Session* session) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != u'[') {
            out.push_back(text[i++]);
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == u'\\' && text[i + 3] == u']') {
            out.push_back(text[i + 2]);
            i += 4;
            continue;
        }
        const size_t close = text.find(u']', i + 1);
        if (close == std::u16string::npos) {
            out.append(text, i, std::u16string::npos);
            break;
        }
        const std::u16string reference = text.substr(i + 1, close - i - 1);
        if (reference.empty() || reference.find(u'[') != std::u16string::npos) {
            out.push_back(text[i++]);
            continue;
        }
        const long number = FieldNumber(reference);
        if (number >= 0) {
            if (static_cast<unsigned long>(number) < record.fields.size()) {
                out += FieldText(record.fields[static_cast<size_t>(number)]);
            }
        } else if (session != nullptr) {
            auto it = session->properties.find(reference);
            if (it != session->properties.end()) {
                out += it->second;
            }
        }
        i = close + 1;
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
