// Preloaded into the launcher by bench/launcher: timestamps every frame the launcher
// presents (its painter calls gtk_widget_queue_draw once per Paint) and every tick of
// its wake timer (the only g_timeout_add it makes), without touching the product.
//
// Each event is appended at once to the file named by LAUNCHER_PROBE_FILE as
// "paint <monotonic ns>" or "tick <monotonic ns>", so a crash loses nothing. Only calls
// made by the launcher executable itself count: GTK and WebKit make their own calls.
//
// With LAUNCHER_PROBE_KEEP_PRIORITY set, the launcher's request to run a worker thread
// at SCHED_IDLE is answered as done but ignored, to compare against the real thing.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

typedef int (*SourceFunc)(void* data);

static int out_fd = -1;
static int keep_priority;
static uintptr_t exe_begin;
static uintptr_t exe_end;

// The main program comes first in the list.
static int FindExecutable(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  (void)data;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* header = &info->dlpi_phdr[i];
    if (header->p_type != PT_LOAD) continue;
    const uintptr_t begin = info->dlpi_addr + header->p_vaddr;
    const uintptr_t end = begin + header->p_memsz;
    if (exe_begin == 0 || begin < exe_begin) exe_begin = begin;
    if (end > exe_end) exe_end = end;
  }
  return 1;
}

__attribute__((constructor)) static void Start(void) {
  dl_iterate_phdr(FindExecutable, NULL);
  const char* path = getenv("LAUNCHER_PROBE_FILE");
  if (path) out_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  keep_priority = getenv("LAUNCHER_PROBE_KEEP_PRIORITY") != NULL;
  // WebKit's helper processes and the game must run unprobed.
  unsetenv("LD_PRELOAD");
  unsetenv("LAUNCHER_PROBE_FILE");
  unsetenv("LAUNCHER_PROBE_KEEP_PRIORITY");
}

static int FromExecutable(const void* caller) {
  const uintptr_t address = (uintptr_t)caller;
  return address >= exe_begin && address < exe_end;
}

static void Record(const char* kind) {
  if (out_fd < 0) return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  char line[64];
  const int length = snprintf(line, sizeof line, "%s %lld\n", kind,
                              (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
  if (write(out_fd, line, (size_t)length) < 0) out_fd = -1;
}

void gtk_widget_queue_draw(void* widget) {
  static void (*real)(void*);
  if (!real) real = (void (*)(void*))dlsym(RTLD_NEXT, "gtk_widget_queue_draw");
  if (FromExecutable(__builtin_return_address(0))) Record("paint");
  real(widget);
}

struct Timer {
  SourceFunc function;
  void* data;
};

static int OnTick(void* data) {
  const struct Timer* timer = data;
  Record("tick");
  return timer->function(timer->data);
}

unsigned g_timeout_add(unsigned interval, SourceFunc function, void* data) {
  static unsigned (*real)(unsigned, SourceFunc, void*);
  if (!real) real = (unsigned (*)(unsigned, SourceFunc, void*))dlsym(RTLD_NEXT, "g_timeout_add");
  if (!FromExecutable(__builtin_return_address(0))) return real(interval, function, data);
  // Kept for the life of the process: the launcher starts its timer once.
  struct Timer* timer = malloc(sizeof *timer);
  if (!timer) return real(interval, function, data);
  timer->function = function;
  timer->data = data;
  return real(interval, OnTick, timer);
}

int pthread_setschedparam(pthread_t thread, int policy, const struct sched_param* param) {
  static int (*real)(pthread_t, int, const struct sched_param*);
  if (!real) real = (int (*)(pthread_t, int, const struct sched_param*))dlsym(RTLD_NEXT, "pthread_setschedparam");
  if (keep_priority && policy == SCHED_IDLE && FromExecutable(__builtin_return_address(0))) return 0;
  return real(thread, policy, param);
}
