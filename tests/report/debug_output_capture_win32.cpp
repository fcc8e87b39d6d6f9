#include <windows.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "debug_output_capture.h"

namespace report_testing {

// OutputDebugStringA hands its text to a debug monitor when one is present: the monitor
// owns the shared buffer "DBWIN_BUFFER" and two events, the writer waits for
// "DBWIN_BUFFER_READY", fills in its process id and the text, and sets "DBWIN_DATA_READY".
// This capture is such a monitor, keeping the texts of its own process only.
struct DebugOutputCapture::State {
  static constexpr DWORD kBufferSize = 4096;

  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize, L"DBWIN_BUFFER");
  HANDLE bufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
  HANDLE dataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
  const char* view = mapping ? static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kBufferSize)) : nullptr;
  std::atomic<bool> stop{false};
  std::string text;
  std::thread reader;

  void Take() {
    DWORD pid = 0;
    std::memcpy(&pid, view, sizeof pid);
    if (pid == GetCurrentProcessId()) text += std::string(view + sizeof pid, strnlen(view + sizeof pid, kBufferSize - sizeof pid));
    SetEvent(bufferReady);
  }

  void Read() {
    SetEvent(bufferReady);
    while (!stop) {
      if (WaitForSingleObject(dataReady, 20) == WAIT_OBJECT_0) Take();
    }
    // A writer has set the event before its call returned, so nothing written before
    // Finish is missed.
    if (WaitForSingleObject(dataReady, 0) == WAIT_OBJECT_0) Take();
  }

  ~State() {
    if (view) UnmapViewOfFile(view);
    for (HANDLE h : {mapping, bufferReady, dataReady}) {
      if (h) CloseHandle(h);
    }
  }
};

DebugOutputCapture::DebugOutputCapture() : state_(std::make_unique<State>()) {
  if (state_->view && state_->bufferReady && state_->dataReady) state_->reader = std::thread([this] { state_->Read(); });
}

DebugOutputCapture::~DebugOutputCapture() { Finish(); }

std::string DebugOutputCapture::Finish() {
  if (!state_->reader.joinable()) return state_->text;
  state_->stop = true;
  state_->reader.join();
  return state_->text;
}

}  // namespace report_testing
