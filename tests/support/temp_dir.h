#pragma once

#include <string>

namespace pixolune::test {

// A fresh folder under $TMPDIR (or /tmp), made with mkdtemp and removed with
// everything in it when the object goes away. Throws std::runtime_error when
// the folder cannot be made. The one temporary folder of every test.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // The path of `name` inside the folder.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace pixolune::test
