// Reading a 256 KiB firmware image from its S-record file: the loader's reader (open, load every
// record into the image buffer, close) against srec_cat reading the same file and writing the
// binary to /dev/null, its whole process from start to exit. scripts/bench prints the ratio.

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "firmware/srecord.h"
#include "paired_timing.h"
#include "support/temp_directory.h"
#include "support/srec_cat.h"

namespace {

constexpr std::size_t image_size = 0x40000;

vortlink::test::temp_directory &scratch() {
    static vortlink::test::temp_directory directory;
    return directory;
}

const std::string &image_file() {
    static const std::string path = vortlink::test::srec_cat_convert(
        scratch().file("image.bin"), vortlink::test::known_bytes(image_size, 7), 0,
        {"-address-length=3", "-obs=16"});
    return path;
}

void srecord_load(benchmark::State &state) {
    std::vector<uint8_t> image(image_size);
    vortlink::loader::SRecordFile file;
    std::string srec_cat = vortlink::test::find_srec_cat();
    std::string input = image_file();
    std::vector<std::string> args = {srec_cat, input, "-motorola", "-o", "/dev/null", "-binary"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    vortlink::bench::paired_timing().run(
        state,
        [&] {
            uint32_t lowest = 0;
            uint32_t highest = 0;
            if (file.OpenSRecordFile(input.c_str()) != 0 ||
                file.LoadSRecordImage(image, lowest, highest) != 0 || highest != image_size - 1)
                state.SkipWithError("the image did not load");
            file.CloseSRecordFile();
        },
        [&] {
            pid_t pid = 0;
            int wait_status = 0;
            if (posix_spawn(&pid, srec_cat.c_str(), nullptr, nullptr, argv.data(), environ) != 0 ||
                waitpid(pid, &wait_status, 0) != pid || !WIFEXITED(wait_status) ||
                WEXITSTATUS(wait_status) != 0)
                state.SkipWithError("srec_cat failed");
        });
}

} // namespace

BENCHMARK(srecord_load)->Iterations(20);

BENCHMARK_MAIN();
