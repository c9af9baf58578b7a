#include "data_folder.h"

#include "posix_file.h"

#include <cstdlib>
#include <string>

#include <pwd.h>
#include <unistd.h>

namespace vorlund {

namespace {

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    const passwd* entry = ::getpwuid(::geteuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

} // namespace

std::filesystem::path userDataFolder() {
    if (const char* dataHome = std::getenv("XDG_DATA_HOME");
        dataHome && std::filesystem::path(dataHome).is_absolute())
        return dataHome;
    const std::filesystem::path home = homeFolder();
    if (!home.is_absolute())
        throwFileError("find the data folder", "the home folder is not an absolute path");
    return home / ".local" / "share";
}

} // namespace vorlund
