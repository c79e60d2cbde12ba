// The interface between the slide-show host and the plug-in: the one exported
// message handler, the host's callback and the record of its settings requests.
// Shared, unchanged, by the host program and the plug-in.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Messages the host sends to kalPlugInMsgHandler.
enum KalMessage {
    KAL_MSG_INTERFACE_VERSION = 1,  // answers 256
    KAL_MSG_VERSION_TEXT = 2,       // param1: char buffer of at least 28 bytes
    KAL_MSG_SET_CALLBACK = 3,       // param1: HostCallback
    KAL_MSG_CONFIGURE = 5,          // param1: owner window (may be 0)
    KAL_MSG_SAVE_SETTINGS = 6,
    KAL_MSG_LOAD_SETTINGS = 7,
    KAL_MSG_SETTINGS_CHANGED = 8,
    KAL_MSG_START = 9,
    KAL_MSG_STOP = 10,          // param2: non-zero to stop
    KAL_MSG_HOST_VARIANT = 28,  // param1: 0 = Kaleidra, 1 = the second host product
    KAL_MSG_ENABLED = 40        // param1: set flag, param2: new value; answers Enabled + 1
};

// Codes the plug-in sends to the host through its callback.
enum KalCallbackCode {
    KAL_CB_WRITE_SETTING = 5,  // param1: HostSettingRequest*
    KAL_CB_READ_SETTING = 6,   // param1: HostSettingRequest*
    KAL_CB_LOG = 7,            // param1: source tag, param2: text (valid during the call only)
    KAL_CB_RESTART = 9         // param1: 5, param2: 1
};

enum { KAL_SETTING_TEXT = 0, KAL_SETTING_INT = 1 };

// Text reads hand the host a buffer of this size; it may write capacity bytes plus a NUL.
enum { KAL_SETTING_TEXT_BUFFER = 1024, KAL_SETTING_TEXT_CAPACITY = 1023 };

typedef int (*HostCallback)(int code, intptr_t param1, intptr_t param2);

// Settings request passed by address with codes 5 and 6, zeroed before use.
// The fields, their order and meaning are those of the 32-bit host interface;
// on a 64-bit build pointers and word-sized values take 8 bytes, so the offsets
// below are fixed here and nowhere else.
typedef struct HostSettingRequest {
    const char* section;
    const char* key;
    int32_t kind;  // KAL_SETTING_INT or KAL_SETTING_TEXT
    int32_t reserved1;
    intptr_t value;  // write: integer or const char*; read int: out; read text: in buffer, out text
    int32_t reserved2;
    intptr_t defaultValue;  // read int: the default; read text: const char* default; writes: 0
    int32_t reserved3;
    int32_t capacity;  // read text: KAL_SETTING_TEXT_CAPACITY, else 0
    int32_t reserved4;
} HostSettingRequest;

#define KAL_PLUGIN_ENTRY_NAME "kalPlugInMsgHandler"
typedef int (*KalPlugInMsgHandler)(int code, intptr_t param1, intptr_t param2);

__attribute__((visibility("default"))) int kalPlugInMsgHandler(int code, intptr_t param1,
                                                               intptr_t param2);

#ifdef __cplusplus
}  // extern "C"

static_assert(offsetof(HostSettingRequest, section) == 0, "host layout");
static_assert(offsetof(HostSettingRequest, key) == 8, "host layout");
static_assert(offsetof(HostSettingRequest, kind) == 16, "host layout");
static_assert(offsetof(HostSettingRequest, reserved1) == 20, "host layout");
static_assert(offsetof(HostSettingRequest, value) == 24, "host layout");
static_assert(offsetof(HostSettingRequest, reserved2) == 32, "host layout");
static_assert(offsetof(HostSettingRequest, defaultValue) == 40, "host layout");
static_assert(offsetof(HostSettingRequest, reserved3) == 48, "host layout");
static_assert(offsetof(HostSettingRequest, capacity) == 52, "host layout");
static_assert(offsetof(HostSettingRequest, reserved4) == 56, "host layout");
static_assert(sizeof(HostSettingRequest) == 64, "host layout");
#endif
