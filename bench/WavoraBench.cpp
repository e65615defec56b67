// Benchmarks of Wavora.
//
//   wavora_bench [Google Benchmark flags]         cipher and stream-slot throughput
//   wavora_bench run <dir> <program> [args...]    runs one program in <dir> with an
//                                                 empty standard input and prints its
//                                                 wall time, processor time (user and
//                                                 system) and peak resident memory
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Shared/FileIO/Blowfish.h"
#include "Shared/FileIO/FileIOBufferedIO.h"
#include "Shared/FileIO/StreamInit.h"
#include "platform/Platform.h"

extern char** environ;

namespace {

// Cipher throughput on one 16 MiB chunk, as the stream slots transform it.
// Second argument: cipher threads (0: one per processor core); third: -1
// for the path the program chooses, else a CipherPath. The counter "path"
// tells which one ran (-1: not on this processor, nothing measured).
template <bool kEncrypt>
void BlowfishChunk(benchmark::State& state) {
  const unsigned char key[] = "benchmark key of twenty-six";
  BlowfishKey(26, key);
  const int threads = static_cast<int>(state.range(1));
  SetCipherThreads(threads > 0 ? threads : std::max(1u, std::thread::hardware_concurrency()));
  const CipherPath chosen = CipherPathInUse();
  if (state.range(2) >= 0 && !SetCipherPath(static_cast<CipherPath>(state.range(2)))) {
    state.SkipWithError("path not available on this processor");
    state.counters["path"] = -1;
    return;
  }
  const CipherPath path = CipherPathInUse();
  std::vector<unsigned char> buffer(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    if (kEncrypt) {
      BlowfishEncryptBuffer(buffer.data(), static_cast<long>(buffer.size()));
    } else {
      BlowfishDecryptBuffer(buffer.data(), static_cast<long>(buffer.size()));
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  SetCipherPath(chosen);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
  state.counters["threads"] = GetCipherThreads();
  state.counters["path"] = static_cast<int>(path);
}

void BM_BlowfishEncryptBuffer(benchmark::State& state) { BlowfishChunk<true>(state); }
void BM_BlowfishDecryptBuffer(benchmark::State& state) { BlowfishChunk<false>(state); }
BENCHMARK(BM_BlowfishEncryptBuffer)
    ->Args({16 * 1024 * 1024, 1, -1})
    ->Args({16 * 1024 * 1024, 0, -1})
    ->Args({16 * 1024 * 1024, 1, 0})
    ->Args({16 * 1024 * 1024, 1, 1})
    ->Args({16 * 1024 * 1024, 1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_BlowfishDecryptBuffer)
    ->Args({16 * 1024 * 1024, 1, -1})
    ->Args({16 * 1024 * 1024, 0, -1})
    ->Args({16 * 1024 * 1024, 1, 0})
    ->Args({16 * 1024 * 1024, 1, 1})
    ->Args({16 * 1024 * 1024, 1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Writes 64 MiB of 8-byte records through an encrypted slot and reads them
// back: the path every sample takes through the temporary waveform file.
void BM_EncryptedSlotWriteRead(benchmark::State& state) {
  std::string reason;
  InitStreamLayer(kStreamInterfaceVersion, &reason);
  const std::string path =
      (std::filesystem::temp_directory_path() / "wavora_bench_slot.dat").string();
  constexpr std::int32_t kRecords = 8 * 1024 * 1024;
  const unsigned char record[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  unsigned char back[8];
  for (auto _ : state) {
    std::FILE* file = platform::OpenFile(path, "w+b");
    _InitBuf(0, file, 0, 1, 1);
    for (std::int32_t k = 0; k < kRecords; ++k) _WriteBytes(0, 8, record);
    _ReleaseBuf(0);
    _InitBuf(0, file, 1, 0, 1);
    for (std::int32_t k = 0; k < kRecords; ++k) _ReadBytes(0, 8, back);
    _ReleaseBuf(0);
    platform::CloseFile(file);
    benchmark::DoNotOptimize(back);
  }
  platform::RemoveFile(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kRecords * 8 * 2);
}
BENCHMARK(BM_EncryptedSlotWriteRead)->Unit(benchmark::kMillisecond)->Iterations(2);

int RunMeasured(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: wavora_bench run <dir> <program> [args...]\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (chdir(argv[2]) != 0) {
    std::perror("chdir");
    return 2;
  }
  std::vector<char*> childArgs(argv + 3, argv + argc);
  childArgs.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[3], &actions, nullptr, childArgs.data(), environ) != 0) {
    std::perror("posix_spawn");
    return 2;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  auto toSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  const double cpuSeconds = toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
  std::printf("seconds=%.3f cpu_seconds=%.3f maxrss_kib=%ld exit=%d\n", seconds, cpuSeconds,
              usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "run") == 0) return RunMeasured(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
