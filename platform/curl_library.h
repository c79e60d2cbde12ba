#pragma once

#include <curl/curl.h>

#include <string>

namespace pixolune::platform {

// The libcurl entry points this layer calls, taken from the library the first
// time a transfer or an address needs them rather than when the plug-in is
// loaded: libcurl brings its TLS, directory and Kerberos libraries, most of
// what loading the plug-in cost a host that asked only for its version or its
// settings. Tests may replace an entry to make it fail.
struct CurlFunctions {
    decltype(&::curl_global_init) global_init = nullptr;
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;
    decltype(&::curl_multi_strerror) multi_strerror = nullptr;
    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;
    decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&::curl_easy_pause) easy_pause = nullptr;
    decltype(&::curl_slist_append) slist_append = nullptr;
    decltype(&::curl_slist_free_all) slist_free_all = nullptr;
    decltype(&::curl_multi_init) multi_init = nullptr;
    decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
    decltype(&::curl_multi_setopt) multi_setopt = nullptr;
    decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&::curl_multi_perform) multi_perform = nullptr;
    decltype(&::curl_multi_poll) multi_poll = nullptr;
    decltype(&::curl_multi_wakeup) multi_wakeup = nullptr;
    decltype(&::curl_multi_info_read) multi_info_read = nullptr;
    decltype(&::curl_share_init) share_init = nullptr;
    decltype(&::curl_share_cleanup) share_cleanup = nullptr;
    decltype(&::curl_share_setopt) share_setopt = nullptr;
    decltype(&::curl_url) url = nullptr;
    decltype(&::curl_url_cleanup) url_cleanup = nullptr;
    decltype(&::curl_url_set) url_set = nullptr;
    decltype(&::curl_url_get) url_get = nullptr;
    decltype(&::curl_free) free_text = nullptr;
};

// Loads libcurl once for the process, and keeps it; null when it cannot be
// loaded or lacks an entry, and CurlLoadFailure() says why. Any thread.
[[nodiscard]] CurlFunctions* Curl();
[[nodiscard]] const std::string& CurlLoadFailure();

}  // namespace pixolune::platform
