// The fault seam: a call counter, one armed fault, and the streams whose
// injected failure the runtime cannot know about. The stream slots write
// full chunks on a thread of their own, so every access takes the lock.
#include "platform/FaultInjection.h"

#include <algorithm>
#include <mutex>

#include "platform/Platform.h"

namespace platform {

namespace faults {

namespace {

std::mutex g_mutex;
std::uint64_t g_callCount = 0;
std::uint64_t g_armedCall = 0;  // 0: nothing armed
Fault g_armedFault = Fault::kNone;
bool g_delivered = false;
bool g_recording = false;
std::vector<FileOp> g_recorded;
// A handful at most: a stream leaves the list when it is rewound or closed.
std::vector<std::FILE*> g_failedStreams;
bool g_randomFailing = false;
bool g_noReplaceUnsupported = false;

}  // namespace

const char* FileOpName(FileOp op) {
  switch (op) {
    case FileOp::kOpen:
      return "open";
    case FileOp::kClose:
      return "close";
    case FileOp::kRead:
      return "read";
    case FileOp::kWrite:
      return "write";
    case FileOp::kSeek:
      return "seek";
    case FileOp::kRename:
      return "rename";
    case FileOp::kRemove:
      return "remove";
    case FileOp::kMakeDirectory:
      return "make directory";
    case FileOp::kListDirectory:
      return "list directory";
  }
  return "?";
}

void Arm(std::uint64_t call, Fault fault) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_callCount = 0;
  g_armedCall = call;
  g_armedFault = call != 0 ? fault : Fault::kNone;
  g_delivered = false;
  g_recorded.clear();
}

void Reset() {
  Arm(0, Fault::kNone);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_failedStreams.clear();
}

std::uint64_t CallCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_callCount;
}

bool FaultDelivered() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_delivered;
}

void SetRecording(bool on) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_recording = on;
  if (!on) g_recorded.clear();
}

const std::vector<FileOp>& RecordedCalls() { return g_recorded; }

Fault NextFileFault(FileOp op) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_callCount;
  if (g_recording) g_recorded.push_back(op);
  if (g_armedFault == Fault::kNone || g_callCount != g_armedCall) return Fault::kNone;
  g_delivered = true;
  if (g_armedFault == Fault::kShortWrite && op != FileOp::kWrite) return Fault::kFail;
  return g_armedFault;
}

void SetRandomSourceFailing(bool on) { g_randomFailing = on; }
bool RandomSourceFailing() { return g_randomFailing; }

void SetNoReplaceRenameUnsupported(bool on) { g_noReplaceUnsupported = on; }
bool NoReplaceRenameUnsupported() { return g_noReplaceUnsupported; }

void MarkStreamFailed(std::FILE* file) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (file != nullptr &&
      std::find(g_failedStreams.begin(), g_failedStreams.end(), file) == g_failedStreams.end())
    g_failedStreams.push_back(file);
}

void ForgetStream(std::FILE* file) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_failedStreams.erase(std::remove(g_failedStreams.begin(), g_failedStreams.end(), file),
                        g_failedStreams.end());
}

bool IsStreamMarkedFailed(std::FILE* file) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return std::find(g_failedStreams.begin(), g_failedStreams.end(), file) != g_failedStreams.end();
}

}  // namespace faults

bool StreamFailed(std::FILE* file) {
  return file != nullptr && (std::ferror(file) != 0 || faults::IsStreamMarkedFailed(file));
}

}  // namespace platform
