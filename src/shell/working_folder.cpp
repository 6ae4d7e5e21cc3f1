// Making the working folder's DATABASE and DEBUG_SESSION folders and checking
// that each can be written.
#include "shell/working_folder.h"

#include <system_error>
#include <unistd.h>

#include "common/file_io.h"

namespace dupmon {

namespace fs = std::filesystem;

std::string prepareWorkingFolder(const fs::path& workDir) {
    auto cannot = [](const fs::path& folder, int error) {
        return "the folder " + folder.string() + " cannot be written: " + errorText(error);
    };
    if (::access(workDir.c_str(), W_OK | X_OK) != 0)
        return cannot(workDir, errno);
    for (const char* name : {"DATABASE", "DEBUG_SESSION"}) {
        const fs::path folder = workDir / name;
        std::error_code ec;
        fs::create_directory(folder, ec);
        if (ec)
            return cannot(folder, ec.value());
        if (!fs::is_directory(folder, ec))
            return "the folder " + folder.string() +
                   " cannot be made: a file of that name is there";
        if (::access(folder.c_str(), W_OK | X_OK) != 0)
            return cannot(folder, errno);
    }
    return {};
}

} // namespace dupmon
