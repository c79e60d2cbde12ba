#pragma once

#include <string>

namespace pixolune::test {

// A fresh folder under $TMPDIR (or /tmp), made with mkdtemp and removed with
// everything in it when the object goes away. Throws std::runtime_error when
// the folder cannot be made.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace pixolune::test
