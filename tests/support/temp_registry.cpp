#include "tests/support/temp_registry.h"

#include <sys/wait.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace velmora::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TempRegistry::TempRegistry() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "velmora-registry-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    if (const char* old = std::getenv("VELMORA_REGISTRY")) {
        hadPrevious_ = true;
        previous_ = old;
    }
    ::setenv("VELMORA_REGISTRY", root_.c_str(), 1);
}

TempRegistry::~TempRegistry() {
    if (hadPrevious_)
        ::setenv("VELMORA_REGISTRY", previous_.c_str(), 1);
    else
        ::unsetenv("VELMORA_REGISTRY");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

bool RegisterBridge() {
    const std::string command =
        std::string(TOVIK_REGSVR_PATH) + " " + BRIDGE_MODULE_PATH + " > /dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace velmora::test
