#include "tests/support/test_locale.h"

#include <locale.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace pixolune::test {

std::string Utf8LocaleEnvironment(const std::string& language) {
    namespace fs = std::filesystem;
    const std::string name = language + ".UTF-8";
    if (locale_t installed = newlocale(LC_ALL_MASK, name.c_str(), nullptr)) {
        freelocale(installed);
        return "LC_ALL=" + name;
    }
    const std::string folder = PIXOLUNE_TEST_LOCALE_DIR;
    const std::string made = folder + "/" + name;
    std::error_code ignored;
    if (!fs::exists(made + "/LC_CTYPE")) {
        // Made beside and renamed into place: tests run side by side never see half a locale.
        const std::string part = made + ".part" + std::to_string(::getpid());
        fs::create_directories(folder, ignored);
        // -c: warnings do not stop it; the files made tell whether it worked.
        const std::string command = "localedef -c -i " + language + " -f UTF-8 " + part;
        if (std::system((command + " >/dev/null 2>&1").c_str()) != -1 &&
            fs::exists(part + "/LC_CTYPE"))
            fs::rename(part, made, ignored);
        fs::remove_all(part, ignored);
    }
    return fs::exists(made + "/LC_CTYPE") ? "LC_ALL=" + name + " LOCPATH=" + folder : "";
}

}  // namespace pixolune::test
