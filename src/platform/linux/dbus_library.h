// The few entry points of the system's D-Bus library that the tray uses,
// declared here from its stable public C interface and bound at run time
// with dlopen("libdbus-1.so.3"): the launcher neither links the library nor
// needs its headers, and runs on where it is missing.
#pragma once

#include <cstdint>

namespace hux::platform::dbus {

struct DBusConnection;
struct DBusMessage;
struct DBusWatch;
using dbus_bool_t = uint32_t;

// The library's error record (name, message, flags, padding), filled in by
// calls that take one.
struct DBusError {
    const char* name;
    const char* message;
    unsigned int flags;
    void* padding;
};

// Iterators are caller-allocated; the library's own is 72 bytes, this one
// leaves room to spare.
struct DBusMessageIter {
    alignas(8) unsigned char storage[128];
};

enum : int {
    kMessageMethodCall = 1,
    kMessageMethodReturn = 2,
    kMessageError = 3,
    kMessageSignal = 4,
};
enum : int {
    kHandlerHandled = 0,
    kHandlerNotYetHandled = 1,
};
enum : int { kDispatchDataRemains = 0 };
enum : unsigned { kWatchReadable = 1, kWatchWritable = 2, kWatchError = 4, kWatchHangup = 8 };
enum : unsigned { kNameDoNotQueue = 4 };
enum : int { kRequestNamePrimaryOwner = 1 };

// Type codes of the wire format.
enum : int {
    kTypeByte = 'y',
    kTypeBoolean = 'b',
    kTypeInt32 = 'i',
    kTypeUint32 = 'u',
    kTypeString = 's',
    kTypeObjectPath = 'o',
    kTypeArray = 'a',
    kTypeVariant = 'v',
    kTypeStruct = 'r',
    kTypeDictEntry = 'e',
    kTypeInvalid = 0,
};

using HandleMessageFunction = int (*)(DBusConnection*, DBusMessage*, void*);
using FreeFunction = void (*)(void*);
using AddWatchFunction = dbus_bool_t (*)(DBusWatch*, void*);
using WatchFunction = void (*)(DBusWatch*, void*);

struct Library {
    dbus_bool_t (*threads_init_default)();
    void (*error_init)(DBusError*);
    void (*error_free)(DBusError*);
    dbus_bool_t (*error_is_set)(const DBusError*);

    DBusConnection* (*connection_open_private)(const char*, DBusError*);
    void (*connection_close)(DBusConnection*);
    void (*connection_unref)(DBusConnection*);
    dbus_bool_t (*bus_register)(DBusConnection*, DBusError*);
    int (*bus_request_name)(DBusConnection*, const char*, unsigned, DBusError*);
    int (*bus_release_name)(DBusConnection*, const char*, DBusError*);
    void (*bus_add_match)(DBusConnection*, const char*, DBusError*);
    dbus_bool_t (*bus_name_has_owner)(DBusConnection*, const char*, DBusError*);
    void (*connection_set_exit_on_disconnect)(DBusConnection*, dbus_bool_t);
    dbus_bool_t (*connection_add_filter)(DBusConnection*, HandleMessageFunction, void*, FreeFunction);
    dbus_bool_t (*connection_set_watch_functions)(DBusConnection*, AddWatchFunction, WatchFunction, WatchFunction,
                                                  void*, FreeFunction);
    dbus_bool_t (*connection_send)(DBusConnection*, DBusMessage*, uint32_t*);
    int (*connection_dispatch)(DBusConnection*);
    void (*connection_flush)(DBusConnection*);
    int (*watch_get_unix_fd)(DBusWatch*);
    unsigned (*watch_get_flags)(DBusWatch*);
    dbus_bool_t (*watch_get_enabled)(DBusWatch*);
    dbus_bool_t (*watch_handle)(DBusWatch*, unsigned);

    DBusMessage* (*message_new_method_call)(const char*, const char*, const char*, const char*);
    DBusMessage* (*message_new_method_return)(DBusMessage*);
    DBusMessage* (*message_new_error)(DBusMessage*, const char*, const char*);
    DBusMessage* (*message_new_signal)(const char*, const char*, const char*);
    void (*message_unref)(DBusMessage*);
    int (*message_get_type)(DBusMessage*);
    const char* (*message_get_path)(DBusMessage*);
    const char* (*message_get_interface)(DBusMessage*);
    const char* (*message_get_member)(DBusMessage*);
    const char* (*message_get_destination)(DBusMessage*);
    uint32_t (*message_get_reply_serial)(DBusMessage*);
    void (*message_set_no_reply)(DBusMessage*, dbus_bool_t);

    dbus_bool_t (*message_iter_init)(DBusMessage*, DBusMessageIter*);
    int (*message_iter_get_arg_type)(DBusMessageIter*);
    void (*message_iter_get_basic)(DBusMessageIter*, void*);
    dbus_bool_t (*message_iter_next)(DBusMessageIter*);
    void (*message_iter_recurse)(DBusMessageIter*, DBusMessageIter*);
    void (*message_iter_init_append)(DBusMessage*, DBusMessageIter*);
    dbus_bool_t (*message_iter_append_basic)(DBusMessageIter*, int, const void*);
    dbus_bool_t (*message_iter_append_fixed_array)(DBusMessageIter*, int, const void*, int);
    dbus_bool_t (*message_iter_open_container)(DBusMessageIter*, int, const char*, DBusMessageIter*);
    dbus_bool_t (*message_iter_close_container)(DBusMessageIter*, DBusMessageIter*);
};

// The library, loaded and bound on the first call (later calls return the
// same answer); null when it cannot be loaded or lacks an entry point.
const Library* library();

}  // namespace hux::platform::dbus
