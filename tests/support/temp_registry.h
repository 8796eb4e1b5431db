#pragma once
// Points the registry at a fresh temporary folder for the life of the object.

#include <filesystem>
#include <string>

namespace velmora::test {

class TempRegistry {
  public:
    TempRegistry();
    ~TempRegistry();
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;

    const std::filesystem::path& Root() const { return root_; }

  private:
    std::filesystem::path root_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// A fresh temporary folder, removed with the object.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Registers the source bridge module of this build in the current registry (the temporary
// one while a TempRegistry lives); true when tovik-regsvr succeeded.
bool RegisterBridge();

}  // namespace velmora::test
