#include "platform/curl_library.h"

#include <dlfcn.h>

namespace pixolune::platform {
namespace {

// The run-time name of libcurl's interface 4, which every libcurl since 2006 has.
constexpr const char* kCurlLibrary = "libcurl.so.4";

struct LoadedCurl {
    void* library = nullptr;  // never closed: the library's global state lives in it
    CurlFunctions functions;
    bool complete = false;
    std::string failure;
};

template <typename Function>
void Take(LoadedCurl& loaded, const char* name, Function& entry) {
    entry = reinterpret_cast<Function>(::dlsym(loaded.library, name));
    if (!entry && loaded.failure.empty())
        loaded.failure = std::string(kCurlLibrary) + " has no " + name;
}

LoadedCurl Load() {
    LoadedCurl loaded;
    loaded.library = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!loaded.library) {
        const char* why = ::dlerror();
        loaded.failure =
            std::string("cannot load ") + kCurlLibrary + ": " + (why ? why : "no reason given");
        return loaded;
    }
    CurlFunctions& f = loaded.functions;
    Take(loaded, "curl_global_init", f.global_init);
    Take(loaded, "curl_easy_strerror", f.easy_strerror);
    Take(loaded, "curl_multi_strerror", f.multi_strerror);
    Take(loaded, "curl_easy_init", f.easy_init);
    Take(loaded, "curl_easy_cleanup", f.easy_cleanup);
    Take(loaded, "curl_easy_setopt", f.easy_setopt);
    Take(loaded, "curl_easy_getinfo", f.easy_getinfo);
    Take(loaded, "curl_easy_pause", f.easy_pause);
    Take(loaded, "curl_slist_append", f.slist_append);
    Take(loaded, "curl_slist_free_all", f.slist_free_all);
    Take(loaded, "curl_multi_init", f.multi_init);
    Take(loaded, "curl_multi_cleanup", f.multi_cleanup);
    Take(loaded, "curl_multi_setopt", f.multi_setopt);
    Take(loaded, "curl_multi_add_handle", f.multi_add_handle);
    Take(loaded, "curl_multi_remove_handle", f.multi_remove_handle);
    Take(loaded, "curl_multi_perform", f.multi_perform);
    Take(loaded, "curl_multi_poll", f.multi_poll);
    Take(loaded, "curl_multi_wakeup", f.multi_wakeup);
    Take(loaded, "curl_multi_info_read", f.multi_info_read);
    Take(loaded, "curl_share_init", f.share_init);
    Take(loaded, "curl_share_cleanup", f.share_cleanup);
    Take(loaded, "curl_share_setopt", f.share_setopt);
    Take(loaded, "curl_url", f.url);
    Take(loaded, "curl_url_cleanup", f.url_cleanup);
    Take(loaded, "curl_url_set", f.url_set);
    Take(loaded, "curl_url_get", f.url_get);
    Take(loaded, "curl_free", f.free_text);
    loaded.complete = loaded.failure.empty();
    return loaded;
}

LoadedCurl& Loaded() {
    static LoadedCurl loaded = Load();
    return loaded;
}

}  // namespace

CurlFunctions* Curl() {
    LoadedCurl& loaded = Loaded();
    return loaded.complete ? &loaded.functions : nullptr;
}

const std::string& CurlLoadFailure() {
    return Loaded().failure;
}

}  // namespace pixolune::platform
