#pragma once
// A shared-state name of its own for one test (VORTLINK_SHARED_NAME, read by every process that
// loads the library afterwards), derived from the name the test program was given so that the
// test run's clean-up finds it too. The previous value comes back, and the block and its guard
// are removed, when the scope ends.

#include <string>

namespace vortlink::test {

class shared_name_scope {
  public:
    explicit shared_name_scope(const std::string &suffix);
    ~shared_name_scope();
    shared_name_scope(const shared_name_scope &) = delete;
    shared_name_scope &operator=(const shared_name_scope &) = delete;

    const std::string &name() const { return name_; }
    // The block and its guard, wherever the library keeps them.
    void remove_objects() const;

  private:
    std::string name_;
    std::string saved_name_;
    bool had_name_ = false;
};

} // namespace vortlink::test
