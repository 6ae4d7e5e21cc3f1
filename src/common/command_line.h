#pragma once
// Reading "--name VALUE" and "--name=VALUE" options, shared by the programs'
// command lines.
#include <string>
#include <vector>

namespace dupmon {

// True when `arg` is the option `name`, alone or with "=VALUE".
inline bool isOption(const std::string& arg, const std::string& name) {
    return arg == name || arg.compare(0, name.size() + 1, name + "=") == 0;
}

// Takes the value of the option at args[i] (from "=VALUE" or the next
// argument, moving i past it). A missing or empty value, or a next argument
// that is itself an option, gives false and an error that names the option
// and what it needs (`what`).
inline bool takeOptionValue(const std::vector<std::string>& args, size_t& i,
                            const std::string& name, const char* what, std::string& value,
                            std::string& error) {
    const std::string& a = args[i];
    if (a.size() > name.size() && a.compare(0, name.size() + 1, name + "=") == 0)
        value = a.substr(name.size() + 1);
    else if (i + 1 < args.size() && args[i + 1].compare(0, 2, "--") != 0)
        value = args[++i];
    else
        value.clear();
    if (value.empty()) {
        error = "option " + name + " needs a value: " + what;
        return false;
    }
    return true;
}

} // namespace dupmon
