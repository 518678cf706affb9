#pragma once
// A fresh directory under the test program's working directory, removed with its contents.

#include <string>

namespace vortlink::test {

class temp_directory {
  public:
    temp_directory();
    ~temp_directory();
    temp_directory(const temp_directory &) = delete;
    temp_directory &operator=(const temp_directory &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Writes text to a file, replacing it.
void write_file(const std::string &path, const std::string &text);

} // namespace vortlink::test
