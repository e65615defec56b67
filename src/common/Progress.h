// The process-wide progress hook: the data steps of a conversion report a
// whole percentage through it (or a negative value to end the bar); the front
// end installs the drawing of its bar for the duration of one file.
#pragma once

using ProgressCallback = void (*)(int percent);

void SetProgressCallback(ProgressCallback callback);

// Calls the progress hook when one is installed.
void ReportProgress(int percent);

// Installs a hook for the life of a scope and removes it on every way out.
class ProgressHookScope {
 public:
  explicit ProgressHookScope(ProgressCallback callback) { SetProgressCallback(callback); }
  ~ProgressHookScope() { SetProgressCallback(nullptr); }
  ProgressHookScope(const ProgressHookScope&) = delete;
  ProgressHookScope& operator=(const ProgressHookScope&) = delete;
};
