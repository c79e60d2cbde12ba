#include "plugin/host_store.h"

#include <cstring>

#include "model/host_link.h"

namespace pixolune {
namespace {

HostSettingRequest NewRequest(const char* section, const char* key, int kind) {
    HostSettingRequest request;
    std::memset(&request, 0, sizeof(request));
    request.section = section;
    request.key = key;
    request.kind = kind;
    return request;
}

}  // namespace

int ReadHostInt(const char* section, const char* key, int defaultValue) {
    HostSettingRequest request = NewRequest(section, key, KAL_SETTING_INT);
    request.defaultValue = defaultValue;
    CallHost(KAL_CB_READ_SETTING, reinterpret_cast<intptr_t>(&request), 0);
    // The integer travels in a word; only its low 32 bits carry the value.
    return static_cast<int>(static_cast<int32_t>(request.value));
}

std::string ReadHostText(const char* section, const char* key, const char* defaultValue) {
    char buffer[KAL_SETTING_TEXT_BUFFER] = {};
    HostSettingRequest request = NewRequest(section, key, KAL_SETTING_TEXT);
    request.value = reinterpret_cast<intptr_t>(buffer);
    request.defaultValue = reinterpret_cast<intptr_t>(defaultValue);
    request.capacity = KAL_SETTING_TEXT_CAPACITY;
    CallHost(KAL_CB_READ_SETTING, reinterpret_cast<intptr_t>(&request), 0);
    const char* text = reinterpret_cast<const char*>(request.value);
    if (!text) return {};
    if (text == buffer) {
        // The host wrote into our buffer: never read past it, even if it forgot the NUL.
        return std::string(buffer, strnlen(buffer, sizeof(buffer)));
    }
    return std::string(text);
}

void WriteHostInt(const char* section, const char* key, int value) {
    HostSettingRequest request = NewRequest(section, key, KAL_SETTING_INT);
    request.value = value;
    CallHost(KAL_CB_WRITE_SETTING, reinterpret_cast<intptr_t>(&request), 0);
}

void WriteHostText(const char* section, const char* key, const std::string& value) {
    HostSettingRequest request = NewRequest(section, key, KAL_SETTING_TEXT);
    request.value = reinterpret_cast<intptr_t>(value.c_str());
    CallHost(KAL_CB_WRITE_SETTING, reinterpret_cast<intptr_t>(&request), 0);
}

}  // namespace pixolune
