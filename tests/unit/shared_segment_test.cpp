// The shared block and the slot locks, exercised across real processes. Children are forked from
// the test program; each one that needs its own hold on the block drops the copy it inherited
// and attaches afresh, as a separately started program would.

#include "core/platform/shared_segment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vortlink::platform {
void PrintTo(lock_wait result, std::ostream *out) {
    static const char *const names[] = {"acquired", "abandoned", "timed_out", "failed"};
    const auto index = static_cast<unsigned>(result);
    *out << (index < 4 ? names[index] : "lock_wait(?)");
}
} // namespace vortlink::platform

namespace {

using namespace vortlink::platform;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int parent_patience_ms = 30000;
constexpr int child_patience_ms = 60000;

// One-byte messages between processes. Each side waits in poll with a deadline, so a test that
// goes wrong fails instead of hanging.
class pipe_channel {
  public:
    pipe_channel() {
        if (::pipe2(ends, O_CLOEXEC) != 0)
            ends[0] = ends[1] = -1;
    }
    ~pipe_channel() {
        for (int end : ends)
            if (end >= 0)
                ::close(end);
    }
    pipe_channel(const pipe_channel &) = delete;
    pipe_channel &operator=(const pipe_channel &) = delete;

    bool usable() const { return ends[0] >= 0; }

    bool post() {
        const char byte = 1;
        ssize_t written;
        do {
            written = ::write(ends[1], &byte, 1);
        } while (written < 0 && errno == EINTR);
        return written == 1;
    }

    // True when a byte arrived, or every writer has gone (how a gate is opened for everybody).
    bool take(int timeout_ms) {
        pollfd readable{ends[0], POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&readable, 1, timeout_ms);
        } while (ready < 0 && errno == EINTR);
        if (ready != 1)
            return false;
        char byte;
        ssize_t got;
        do {
            got = ::read(ends[0], &byte, 1);
        } while (got < 0 && errno == EINTR);
        return got >= 0;
    }

    // A gate: children close their copy before waiting, the parent closes its own to open it.
    void close_writer() {
        if (ends[1] >= 0)
            ::close(ends[1]);
        ends[1] = -1;
    }

  private:
    int ends[2];
};

// A child that runs its setup, reports back, and stays until let go (or killed).
struct holder {
    pipe_channel ready;
    pipe_channel gate;
    pid_t pid = -1;
};

bool all_zero(const shared_data &block) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&block);
    return std::all_of(bytes, bytes + sizeof block, [](unsigned char byte) { return byte == 0; });
}

// A hold of our own, as a separately started process would have.
shared_data *fresh_attach() {
    detach_shared_segment();
    return attach_shared_segment();
}

long elapsed_ms(steady_clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count());
}

// Every test gets a segment name of its own; the attachment the load hook made is put aside.
class SharedSegmentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *inherited = std::getenv("VORTLINK_SHARED_NAME");
        had_name = inherited != nullptr;
        if (had_name)
            saved_name = inherited;
        detach_shared_segment();
        const std::string base = had_name && !saved_name.empty() ? saved_name : "/vortlink-test";
        name = base + "-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::setenv("VORTLINK_SHARED_NAME", name.c_str(), 1);
        // Without a runtime directory the objects are in /dev/shm, where shm_open finds them.
        if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"))
            saved_runtime = runtime;
        ::unsetenv("XDG_RUNTIME_DIR");
        remove_objects();
    }

    void TearDown() override {
        for (pid_t child : children) {
            ::kill(child, SIGKILL);
            int status;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }
        detach_shared_segment();
        remove_objects();
        if (had_name)
            ::setenv("VORTLINK_SHARED_NAME", saved_name.c_str(), 1);
        else
            ::unsetenv("VORTLINK_SHARED_NAME");
        if (!saved_runtime.empty())
            ::setenv("XDG_RUNTIME_DIR", saved_runtime.c_str(), 1);
    }

    std::string shm_path(const std::string &suffix = "") const {
        return "/dev/shm" + name + suffix;
    }

    void remove_objects() const {
        ::shm_unlink(name.c_str());
        ::shm_unlink((name + ".init").c_str());
    }

    // The child's exit status is body's result: 0 for success, a distinct number per failed step.
    pid_t spawn(const std::function<int()> &body) {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(body());
        if (child > 0)
            children.push_back(child);
        return child;
    }

    // Exit status, or 128 + signal number like a shell reports it.
    int reap(pid_t child) {
        children.erase(std::remove(children.begin(), children.end(), child), children.end());
        int status = 0;
        pid_t waited;
        do {
            waited = ::waitpid(child, &status, 0);
        } while (waited < 0 && errno == EINTR);
        if (waited != child)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Setup and before_exit return 0, or the number of the step that failed.
    bool start_holder(
        holder &child, const std::function<int()> &setup,
        const std::function<int()> &before_exit = [] { return 0; }) {
        if (!child.ready.usable() || !child.gate.usable())
            return false;
        child.pid = spawn([&] {
            child.gate.close_writer();
            if (const int failed = setup())
                return failed;
            child.ready.post();
            return child.gate.take(child_patience_ms) ? before_exit() : 99;
        });
        return child.pid > 0 && child.ready.take(parent_patience_ms);
    }

    int let_go(holder &child) {
        child.gate.close_writer();
        return reap(child.pid);
    }

    // Maps the object under our name directly, as a process of some other build would.
    void corrupt_first_byte() const {
        const int descriptor = ::shm_open(name.c_str(), O_RDWR, 0);
        ASSERT_GE(descriptor, 0);
        struct stat status {};
        ASSERT_EQ(0, ::fstat(descriptor, &status));
        ASSERT_GT(status.st_size, 0);
        void *mapped = ::mmap(nullptr, static_cast<std::size_t>(status.st_size),
                              PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
        ::close(descriptor);
        ASSERT_NE(MAP_FAILED, mapped);
        static_cast<unsigned char *>(mapped)[0] ^= 0xff;
        ::munmap(mapped, static_cast<std::size_t>(status.st_size));
    }

    std::string name;
    std::string saved_name;
    std::string saved_runtime;
    bool had_name = false;
    std::vector<pid_t> children;
};

// ---- the block --------------------------------------------------------------------------------

TEST_F(SharedSegmentTest, BlockIsSharedWhileHeldAndZeroFilledOnceEveryHolderIsGone) {
    shared_data *block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    EXPECT_TRUE(all_zero(*block));
    EXPECT_EQ(block, attach_shared_segment());
    block->attach_count = 1;
    std::strcpy(block->working_directory, "/first/");

    // A second process sees the first one's data, and the first sees the second's writes.
    const pid_t reader = spawn([] {
        shared_data *seen = fresh_attach();
        if (seen == nullptr)
            return 1;
        if (seen->attach_count != 1 || std::strcmp(seen->working_directory, "/first/") != 0)
            return 2;
        seen->attach_count = 2;
        return 0;
    });
    EXPECT_EQ(0, reap(reader));
    EXPECT_EQ(2u, block->attach_count);

    // While any process still holds it, the block survives the others leaving and coming back.
    holder other;
    ASSERT_TRUE(start_holder(other, [] { return fresh_attach() != nullptr ? 0 : 1; }));
    detach_shared_segment();
    block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(2u, block->attach_count);
    EXPECT_STREQ("/first/", block->working_directory);
    EXPECT_EQ(0, let_go(other));

    // Nobody else holds it now: the next first attach starts from zero.
    detach_shared_segment();
    block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    EXPECT_TRUE(all_zero(*block));
}

TEST_F(SharedSegmentTest, KilledHolderNoLongerKeepsTheBlock) {
    holder doomed;
    ASSERT_TRUE(start_holder(doomed, [] {
        shared_data *block = fresh_attach();
        if (block == nullptr)
            return 1;
        block->attach_count = 9;
        return 0;
    }));
    shared_data *block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(9u, block->attach_count);
    detach_shared_segment();

    ::kill(doomed.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, reap(doomed.pid));
    block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    EXPECT_TRUE(all_zero(*block));
}

TEST_F(SharedSegmentTest, SimultaneousFirstAttachesShareOneBlock) {
    constexpr int racers = 4;
    pipe_channel ready;
    pipe_channel start;
    pipe_channel finish;
    ASSERT_TRUE(ready.usable() && start.usable() && finish.usable());
    for (int i = 0; i < racers; ++i) {
        spawn([&] {
            start.close_writer();
            finish.close_writer();
            detach_shared_segment();
            if (!start.take(child_patience_ms))
                return 1;
            shared_data *block = attach_shared_segment();
            named_lock *lock = open_named_lock("USB_mutex_0");
            if (block == nullptr || lock == nullptr)
                return 2;
            if (wait_named_lock(lock, 10000) != lock_wait::acquired)
                return 3;
            ++block->attach_count;
            release_named_lock(lock);
            ready.post();
            return finish.take(child_patience_ms) ? 0 : 4;
        });
    }
    start.close_writer();
    for (int i = 0; i < racers; ++i)
        ASSERT_TRUE(ready.take(parent_patience_ms)) << "racer " << i << " did not get through";

    shared_data *block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(static_cast<uint32_t>(racers), block->attach_count);
    finish.close_writer();
    for (pid_t child : std::vector<pid_t>(children))
        EXPECT_EQ(0, reap(child));
}

TEST_F(SharedSegmentTest, LeftoverObjectNobodyHoldsIsReplaced) {
    const int descriptor = ::shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(0, ::ftruncate(descriptor, 64));
    const std::vector<unsigned char> junk(64, 0xab);
    ASSERT_EQ(64, ::write(descriptor, junk.data(), junk.size()));
    ::close(descriptor);

    shared_data *block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    EXPECT_TRUE(all_zero(*block));
    named_lock *lock = open_named_lock("USB_mutex_0");
    ASSERT_NE(nullptr, lock);
    EXPECT_EQ(lock_wait::acquired, wait_named_lock(lock, 0));
    release_named_lock(lock);
}

TEST_F(SharedSegmentTest, IncompatibleBlockInUseGivesABlockOfThisProcessAlone) {
    // Another build of the library holds an object of some other size under our name.
    holder other_build;
    ASSERT_TRUE(start_holder(other_build, [this] {
        const int descriptor = ::shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
        return descriptor >= 0 && ::ftruncate(descriptor, 16) == 0 &&
                       ::flock(descriptor, LOCK_SH) == 0
                   ? 0
                   : 1;
    }));
    ASSERT_NE(nullptr, attach_shared_segment());
    EXPECT_TRUE(shared_segment_is_private());
    named_lock *lock = open_named_lock("USB_mutex_0");
    ASSERT_NE(nullptr, lock) << "commands keep their locks, for this process";
    EXPECT_EQ(lock_wait::acquired, wait_named_lock(lock, 0));
    release_named_lock(lock);
    struct stat status {};
    ASSERT_EQ(0, ::stat(shm_path().c_str(), &status));
    EXPECT_EQ(16, status.st_size) << "the other build's object is left alone";
    detach_shared_segment();
    EXPECT_EQ(0, let_go(other_build));

    // The right size, but not our layout, while someone holds it.
    ASSERT_NE(nullptr, attach_shared_segment());
    holder other;
    ASSERT_TRUE(start_holder(other, [] { return fresh_attach() != nullptr ? 0 : 1; }));
    detach_shared_segment();
    corrupt_first_byte();
    ASSERT_NE(nullptr, attach_shared_segment());
    EXPECT_TRUE(shared_segment_is_private());
    detach_shared_segment();
    EXPECT_EQ(0, let_go(other));

    // Once the last holder is gone it is ours to start over.
    shared_data *block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    EXPECT_FALSE(shared_segment_is_private());
    EXPECT_TRUE(all_zero(*block));
}

TEST_F(SharedSegmentTest, UnusableSegmentNameGivesABlockOfThisProcessAlone) {
    for (const std::string &unusable :
         {std::string("/vortlink/nested"), "/" + std::string(400, 'v')}) {
        ::setenv("VORTLINK_SHARED_NAME", unusable.c_str(), 1);
        ASSERT_NE(nullptr, attach_shared_segment());
        EXPECT_TRUE(shared_segment_is_private());
        EXPECT_NE(nullptr, open_named_lock("USB_mutex_0"));
        detach_shared_segment();
    }
}

TEST_F(SharedSegmentTest, LastProcessToLeaveRemovesTheObjects) {
    ASSERT_NE(nullptr, attach_shared_segment());
    struct stat status {};
    ASSERT_EQ(0, ::stat(shm_path().c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 07777);
    EXPECT_EQ(::geteuid(), status.st_uid);
    ASSERT_EQ(0, ::stat(shm_path(".init").c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 07777);

    holder other;
    ASSERT_TRUE(start_holder(other, [] { return fresh_attach() != nullptr ? 0 : 1; }));
    detach_shared_segment();
    EXPECT_EQ(0, ::stat(shm_path().c_str(), &status)) << "another process still holds it";
    EXPECT_EQ(0, let_go(other));

    // A forked child that leaves does not take the objects from under its parent.
    ASSERT_NE(nullptr, attach_shared_segment());
    const pid_t child = spawn([] {
        detach_shared_segment();
        return 0;
    });
    EXPECT_EQ(0, reap(child));
    EXPECT_EQ(0, ::stat(shm_path().c_str(), &status));

    detach_shared_segment();
    EXPECT_NE(0, ::stat(shm_path().c_str(), &status));
    EXPECT_NE(0, ::stat(shm_path(".init").c_str(), &status));
}

// Objects under our names that are not plain files of ours, or that others can reach, are never
// used, and nothing is written through them.
TEST_F(SharedSegmentTest, ObjectsThatAreNotSafelyOursAreNeverUsed) {
    // In /dev/shm, as hard links stay within one file system.
    char target_template[] = "/dev/shm/vortlink-target-XXXXXX";
    const int target = ::mkstemp(target_template);
    ASSERT_GE(target, 0);
    ::close(target);
    const std::string target_path = target_template;

    struct planted {
        const char *what;
        std::function<int(const std::string &)> plant;
    };
    const planted cases[] = {
        {"symbolic link",
         [&](const std::string &path) { return ::symlink(target_path.c_str(), path.c_str()); }},
        {"fifo", [](const std::string &path) { return ::mkfifo(path.c_str(), 0600); }},
        {"directory", [](const std::string &path) { return ::mkdir(path.c_str(), 0700); }},
        {"hard link to a file of the user's",
         [&](const std::string &path) { return ::link(target_path.c_str(), path.c_str()); }},
        {"file others can write",
         [](const std::string &path) {
             const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
             const int changed = fd >= 0 ? ::fchmod(fd, 0666) : -1;
             if (fd >= 0)
                 ::close(fd);
             return changed;
         }},
    };
    for (const planted &entry : cases) {
        for (const char *suffix : {"", ".init"}) {
            SCOPED_TRACE(std::string(entry.what) + " at the name" + suffix);
            const std::string path = shm_path(suffix);
            ASSERT_EQ(0, entry.plant(path));
            const auto start = steady_clock::now();
            ASSERT_NE(nullptr, attach_shared_segment());
            EXPECT_LT(elapsed_ms(start), 1000);
            EXPECT_TRUE(shared_segment_is_private());
            detach_shared_segment();
            ::unlink(path.c_str());
            ::rmdir(path.c_str());
            remove_objects();
        }
    }
    struct stat status {};
    ASSERT_EQ(0, ::stat(target_path.c_str(), &status));
    EXPECT_EQ(0, status.st_size) << "nothing went through the link";
    ::unlink(target_path.c_str());
}

TEST_F(SharedSegmentTest, GuardHeldElsewhereEndsTheAttachWithinTwoSeconds) {
    holder blocker;
    ASSERT_TRUE(start_holder(blocker, [this] {
        const int descriptor = ::open(shm_path(".init").c_str(), O_RDWR | O_CREAT, 0600);
        return descriptor >= 0 && ::flock(descriptor, LOCK_EX) == 0 ? 0 : 1;
    }));
    const auto start = steady_clock::now();
    ASSERT_NE(nullptr, attach_shared_segment());
    const long waited = elapsed_ms(start);
    EXPECT_GE(waited, 1900);
    EXPECT_LT(waited, 5000);
    EXPECT_TRUE(shared_segment_is_private());
    EXPECT_EQ(0, let_go(blocker));
}

TEST_F(SharedSegmentTest, RuntimeDirectoryIsUsedOnlyWhenNobodyElseCanEnterIt) {
    char directory_template[] = "/tmp/vortlink-runtime-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(directory_template));
    const std::string runtime = directory_template;
    const std::string in_runtime = runtime + name;
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    struct stat status {};

    ASSERT_EQ(0, ::chmod(runtime.c_str(), 0700));
    ASSERT_NE(nullptr, attach_shared_segment());
    EXPECT_FALSE(shared_segment_is_private());
    EXPECT_EQ(0, ::stat(in_runtime.c_str(), &status));
    EXPECT_NE(0, ::stat(shm_path().c_str(), &status));
    detach_shared_segment();
    EXPECT_NE(0, ::stat(in_runtime.c_str(), &status));

    ASSERT_EQ(0, ::chmod(runtime.c_str(), 0755));
    ASSERT_NE(nullptr, attach_shared_segment());
    EXPECT_FALSE(shared_segment_is_private());
    EXPECT_NE(0, ::stat(in_runtime.c_str(), &status));
    EXPECT_EQ(0, ::stat(shm_path().c_str(), &status));
    detach_shared_segment();

    ::unsetenv("XDG_RUNTIME_DIR");
    ::rmdir(runtime.c_str());
}

// ---- the locks --------------------------------------------------------------------------------

TEST_F(SharedSegmentTest, LockHeldElsewhereTimesOutAfterTheTimeoutAndNotBefore) {
    ASSERT_NE(nullptr, attach_shared_segment());
    holder owner;
    named_lock *owned = nullptr;
    ASSERT_TRUE(start_holder(
        owner,
        [&] {
            if (fresh_attach() == nullptr)
                return 1;
            owned = open_named_lock("USB_mutex_7");
            return wait_named_lock(owned, 0) == lock_wait::acquired ? 0 : 2;
        },
        [&] {
            release_named_lock(owned);
            return 0;
        }));

    named_lock *lock = open_named_lock("USB_mutex_7");
    ASSERT_NE(nullptr, lock);
    const auto started = steady_clock::now();
    EXPECT_EQ(lock_wait::timed_out, wait_named_lock(lock, 500));
    const long waited = elapsed_ms(started);
    EXPECT_GE(waited, 500);
    EXPECT_LT(waited, 1500);
    EXPECT_EQ(lock_wait::timed_out, wait_named_lock(lock, 0));

    // Other names, the same slot number on the other transport included, are other locks.
    for (const char *other : {"USB_mutex_8", "TCP_mutex_7"}) {
        named_lock *free_lock = open_named_lock(other);
        ASSERT_NE(nullptr, free_lock);
        EXPECT_EQ(lock_wait::acquired, wait_named_lock(free_lock, 0)) << other;
        release_named_lock(free_lock);
    }

    // A regular release hands the lock over as acquired, not abandoned.
    owner.gate.close_writer();
    EXPECT_EQ(lock_wait::acquired, wait_named_lock(lock, 10000));
    release_named_lock(lock);
    EXPECT_EQ(0, let_go(owner));
}

TEST_F(SharedSegmentTest, TwoProcessesTakeTurnsOnOneLock) {
    constexpr uint32_t rounds = 20000;
    shared_data *block = attach_shared_segment();
    ASSERT_NE(nullptr, block);
    // Seen by the children only if they really take turns: the counter lives in the block, and
    // overlaps are counted in memory of our own that both children share.
    void *scratch = ::mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, scratch);
    auto *inside = static_cast<volatile uint32_t *>(scratch);

    pipe_channel ready;
    pipe_channel start;
    ASSERT_TRUE(ready.usable() && start.usable());
    for (int i = 0; i < 2; ++i) {
        spawn([&] {
            start.close_writer();
            shared_data *mine = fresh_attach();
            named_lock *lock = open_named_lock("TCP_mutex_12");
            if (mine == nullptr || lock == nullptr)
                return 1;
            ready.post();
            if (!start.take(child_patience_ms))
                return 2;
            auto *count = static_cast<volatile uint32_t *>(&mine->attach_count);
            for (uint32_t round = 0; round < rounds; ++round) {
                if (wait_named_lock(lock, 10000) != lock_wait::acquired)
                    return 3;
                if (*inside != 0)
                    return 4;
                *inside = 1;
                const uint32_t seen = *count;
                // Gives the other process every chance to barge in if the lock let it.
                ::sched_yield();
                *count = seen + 1;
                *inside = 0;
                release_named_lock(lock);
            }
            return 0;
        });
    }
    ASSERT_TRUE(ready.take(parent_patience_ms));
    ASSERT_TRUE(ready.take(parent_patience_ms));
    start.close_writer();
    for (pid_t child : std::vector<pid_t>(children))
        EXPECT_EQ(0, reap(child));
    EXPECT_EQ(2 * rounds, block->attach_count);
    ::munmap(scratch, sizeof(uint32_t));
}

TEST_F(SharedSegmentTest, OwnerReentersAndOtherThreadsWaitUntilEveryHoldIsReleased) {
    ASSERT_NE(nullptr, attach_shared_segment());
    named_lock *lock = open_named_lock("USB_mutex_1");
    ASSERT_NE(nullptr, lock);

    // A zero timeout proves the owner gets back in without blocking.
    ASSERT_EQ(lock_wait::acquired, wait_named_lock(lock, 0));
    ASSERT_EQ(lock_wait::acquired, wait_named_lock(lock, 0));

    const auto from_other_thread = [lock](uint32_t timeout_ms, bool release_after) {
        lock_wait result = lock_wait::failed;
        std::thread other([&] {
            result = wait_named_lock(lock, timeout_ms);
            if (release_after && result == lock_wait::acquired)
                release_named_lock(lock);
        });
        other.join();
        return result;
    };
    EXPECT_EQ(lock_wait::timed_out, from_other_thread(200, true));
    release_named_lock(lock);
    EXPECT_EQ(lock_wait::timed_out, from_other_thread(200, true)) << "one release of two freed it";
    release_named_lock(lock);
    EXPECT_EQ(lock_wait::acquired, from_other_thread(10000, true));
    EXPECT_EQ(lock_wait::acquired, wait_named_lock(lock, 0));
    release_named_lock(lock);
}

TEST_F(SharedSegmentTest, KilledOwnerLeavesTheLockAbandonedToTheNextWaiter) {
    ASSERT_NE(nullptr, attach_shared_segment());
    named_lock *lock = open_named_lock("TCP_mutex_4");
    ASSERT_NE(nullptr, lock);

    holder owner;
    ASSERT_TRUE(start_holder(owner, [] {
        if (fresh_attach() == nullptr)
            return 1;
        named_lock *mine = open_named_lock("TCP_mutex_4");
        // Held twice: the next owner must still need only one release.
        return wait_named_lock(mine, 0) == lock_wait::acquired &&
                       wait_named_lock(mine, 0) == lock_wait::acquired
                   ? 0
                   : 2;
    }));
    EXPECT_EQ(lock_wait::timed_out, wait_named_lock(lock, 0));
    ::kill(owner.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, reap(owner.pid));

    ASSERT_EQ(lock_wait::abandoned, wait_named_lock(lock, 10000));
    // The new owner holds it: another process cannot get in until it is released.
    const auto other_process_wait = [this](uint32_t timeout_ms, lock_wait expected) {
        return reap(spawn([=] {
            if (fresh_attach() == nullptr)
                return 1;
            named_lock *mine = open_named_lock("TCP_mutex_4");
            const lock_wait result = wait_named_lock(mine, timeout_ms);
            if (result == lock_wait::acquired)
                release_named_lock(mine);
            return result == expected ? 0 : 10 + static_cast<int>(result);
        }));
    };
    EXPECT_EQ(0, other_process_wait(0, lock_wait::timed_out));
    release_named_lock(lock);
    EXPECT_EQ(0, other_process_wait(10000, lock_wait::acquired));
    EXPECT_EQ(lock_wait::acquired, wait_named_lock(lock, 0));
    release_named_lock(lock);
}

TEST_F(SharedSegmentTest, ThreadThatEndsHoldingTheLockAbandonsIt) {
    ASSERT_NE(nullptr, attach_shared_segment());
    named_lock *lock = open_named_lock("USB_mutex_2");
    ASSERT_NE(nullptr, lock);
    lock_wait taken = lock_wait::failed;
    std::thread([&] { taken = wait_named_lock(lock, 0); }).join();
    ASSERT_EQ(lock_wait::acquired, taken);
    EXPECT_EQ(lock_wait::abandoned, wait_named_lock(lock, 10000));
    release_named_lock(lock);
    EXPECT_EQ(lock_wait::acquired, wait_named_lock(lock, 0));
    release_named_lock(lock);
}

TEST_F(SharedSegmentTest, ClosingAHandleLeavesTheLockWorkingForOthers) {
    ASSERT_NE(nullptr, attach_shared_segment());
    named_lock *lock = open_named_lock("USB_mutex_9");
    ASSERT_NE(nullptr, lock);

    // Another process uses the lock, then closes its handle and detaches, as at unload.
    EXPECT_EQ(0, reap(spawn([] {
                  if (fresh_attach() == nullptr)
                      return 1;
                  named_lock *mine = open_named_lock("USB_mutex_9");
                  if (wait_named_lock(mine, 10000) != lock_wait::acquired)
                      return 2;
                  release_named_lock(mine);
                  close_named_lock(mine);
                  detach_shared_segment();
                  return 0;
              })));
    ASSERT_EQ(lock_wait::acquired, wait_named_lock(lock, 10000));
    EXPECT_EQ(0, reap(spawn([] {
                  if (fresh_attach() == nullptr)
                      return 1;
                  named_lock *mine = open_named_lock("USB_mutex_9");
                  return wait_named_lock(mine, 0) == lock_wait::timed_out ? 0 : 2;
              })))
        << "the lock no longer excludes other processes";
    release_named_lock(lock);

    // In one process, each open needs its own close.
    named_lock *again = open_named_lock("USB_mutex_9");
    EXPECT_EQ(lock, again);
    close_named_lock(again);
    EXPECT_EQ(lock_wait::acquired, wait_named_lock(lock, 0));
    release_named_lock(lock);
    close_named_lock(lock);
    EXPECT_EQ(lock_wait::failed, wait_named_lock(lock, 0));
    named_lock *reopened = open_named_lock("USB_mutex_9");
    ASSERT_NE(nullptr, reopened);
    EXPECT_EQ(lock_wait::acquired, wait_named_lock(reopened, 0));
    release_named_lock(reopened);
}

TEST_F(SharedSegmentTest, BadHandlesAndNamesFailCleanly) {
    EXPECT_EQ(nullptr, open_named_lock("USB_mutex_0")) << "opened without a segment";
    EXPECT_EQ(lock_wait::failed, wait_named_lock(nullptr, 0));
    EXPECT_EQ(lock_wait::failed, wait_named_lock(nullptr, 100));
    release_named_lock(nullptr);
    close_named_lock(nullptr);

    ASSERT_NE(nullptr, attach_shared_segment());
    EXPECT_EQ(nullptr, open_named_lock(nullptr));
    EXPECT_EQ(nullptr, open_named_lock(""));
    EXPECT_EQ(nullptr, open_named_lock(std::string(32, 'n').c_str()));
    named_lock *longest = open_named_lock(std::string(31, 'n').c_str());
    ASSERT_NE(nullptr, longest);

    // Something that is not a handle of ours is refused without being touched.
    uint64_t not_a_handle[4] = {};
    EXPECT_EQ(lock_wait::failed, wait_named_lock(reinterpret_cast<named_lock *>(not_a_handle), 0));
    release_named_lock(reinterpret_cast<named_lock *>(not_a_handle));

    // The table fills up at some point past the slot locks the library needs; known names open
    // even then.
    std::vector<named_lock *> opened;
    for (int i = 0; i < 1000; ++i) {
        named_lock *lock = open_named_lock(("extra_" + std::to_string(i)).c_str());
        if (lock == nullptr)
            break;
        opened.push_back(lock);
    }
    EXPECT_GE(opened.size(), 100u);
    EXPECT_LT(opened.size(), 1000u);
    named_lock *known = open_named_lock(std::string(31, 'n').c_str());
    EXPECT_EQ(longest, known);
    for (named_lock *lock : opened)
        close_named_lock(lock);

    // Detaching invalidates every handle.
    detach_shared_segment();
    EXPECT_EQ(lock_wait::failed, wait_named_lock(longest, 0));
    release_named_lock(longest);
    close_named_lock(longest);
}

} // namespace
