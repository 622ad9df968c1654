// Binds the D-Bus library at run time (see dbus_library.h).
#include "platform/linux/dbus_library.h"

#include "platform/posix/names.h"
#include "platform/libraries.h"

namespace hux::platform::dbus {

namespace {

template <typename F>
bool bind(const DynamicLibrary& lib, F& slot, const char* name) {
    slot = reinterpret_cast<F>(lib.symbol(name));
    return slot != nullptr;
}

const Library* load() {
    static DynamicLibrary lib;  // plain handle holder, stays loaded
    if (const Status loaded = lib.load("libdbus-1.so.3", false); !loaded) {
        posix::debugNote("tray: no D-Bus library (%s)", loaded.text());
        return nullptr;
    }
    static Library l{};
    bool ok = true;
#define HUX_BIND(field) ok = bind(lib, l.field, "dbus_" #field) && ok
    HUX_BIND(threads_init_default);
    HUX_BIND(error_init);
    HUX_BIND(error_free);
    HUX_BIND(error_is_set);
    HUX_BIND(connection_open_private);
    HUX_BIND(connection_close);
    HUX_BIND(connection_unref);
    HUX_BIND(bus_register);
    HUX_BIND(bus_request_name);
    HUX_BIND(bus_release_name);
    HUX_BIND(bus_add_match);
    HUX_BIND(bus_name_has_owner);
    HUX_BIND(connection_set_exit_on_disconnect);
    HUX_BIND(connection_add_filter);
    HUX_BIND(connection_set_watch_functions);
    HUX_BIND(connection_send);
    HUX_BIND(connection_dispatch);
    HUX_BIND(connection_flush);
    HUX_BIND(watch_get_unix_fd);
    HUX_BIND(watch_get_flags);
    HUX_BIND(watch_get_enabled);
    HUX_BIND(watch_handle);
    HUX_BIND(message_new_method_call);
    HUX_BIND(message_new_method_return);
    HUX_BIND(message_new_error);
    HUX_BIND(message_new_signal);
    HUX_BIND(message_unref);
    HUX_BIND(message_get_type);
    HUX_BIND(message_get_path);
    HUX_BIND(message_get_interface);
    HUX_BIND(message_get_member);
    HUX_BIND(message_get_destination);
    HUX_BIND(message_get_reply_serial);
    HUX_BIND(message_set_no_reply);
    HUX_BIND(message_iter_init);
    HUX_BIND(message_iter_get_arg_type);
    HUX_BIND(message_iter_get_basic);
    HUX_BIND(message_iter_next);
    HUX_BIND(message_iter_recurse);
    HUX_BIND(message_iter_init_append);
    HUX_BIND(message_iter_append_basic);
    HUX_BIND(message_iter_append_fixed_array);
    HUX_BIND(message_iter_open_container);
    HUX_BIND(message_iter_close_container);
#undef HUX_BIND
    if (!ok) {
        posix::debugNote("tray: the D-Bus library lacks an entry point");
        return nullptr;
    }
    l.threads_init_default();
    return &l;
}

}  // namespace

const Library* library() {
    static const Library* const l = load();
    return l;
}

}  // namespace hux::platform::dbus
