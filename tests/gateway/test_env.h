// Setting and removing environment variables of the test process, on Linux
// and on Windows.
#pragma once

#include <stdlib.h>

#include <string>

namespace qg::test {

inline void set_env(const std::string& name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), value.c_str());
#else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline void unset_env(const std::string& name) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), "");  // an empty value removes the variable
#else
    ::unsetenv(name.c_str());
#endif
}

}  // namespace qg::test
