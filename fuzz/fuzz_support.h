// Fuzzing support: the program's modules on a sandbox platform in a temporary directory, on a
// clock that stands still, and the file writes through which each input reaches its module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Makes the sandbox once per process, its clock standing at `at` ("YYYY-MM-DD HH:MM:SS",
// UTC), and opens the kernel log on a sink so every message is still formatted.
void fuzz_sandbox_init(const char* at);
int64_t fuzz_now_sec();  // the sandbox clock, epoch seconds

// Host path of a phone path under the sandbox root.
std::string fuzz_host_path(const char* phone_path);
// Makes a phone directory with its parents, and writes a whole file at a phone path.
void fuzz_make_dir(const char* phone_dir);
void fuzz_write_file(const char* phone_path, const void* data, size_t size);

// A broken invariant: reported on stderr, then abort() so libFuzzer keeps the input.
[[noreturn]] void fuzz_fail(const char* file, int line, const char* what);
#define FUZZ_CHECK(cond)                               \
  do {                                                 \
    if (!(cond)) fuzz_fail(__FILE__, __LINE__, #cond); \
  } while (0)
