#include "common/Progress.h"

namespace {

ProgressCallback g_progressCallback = nullptr;

}  // namespace

void SetProgressCallback(ProgressCallback callback) { g_progressCallback = callback; }

void ReportProgress(int percent) {
  if (g_progressCallback != nullptr) g_progressCallback(percent);
}
