// The library's load and unload work runs from its ELF constructor and destructor, once for every
// process that loads libvortlink.so (and for a test program that links its objects).
#include "core/state.h"

namespace {
__attribute__((constructor)) void library_loaded() {
    vortlink::on_process_load();
}
__attribute__((destructor)) void library_unloaded() {
    vortlink::on_process_unload();
}
} // namespace
