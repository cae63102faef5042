/* A plain C host: loads the shared library and checks the seven exports.
 *   Linux:   dlopen and dlsym by name.
 *   Windows: LoadLibrary and GetProcAddress, by name and by ordinal (1 to 7); the calls go
 *            through the ordinal entries, checked to be the named ones.
 * Each scenario runs in a child process that loads the library afresh, so library-wide state
 * never leaks between scenarios (a fork on Linux, the program started again on Windows).
 * Usage: c_api_host LIBRARY [--config-only]
 * On Windows the configuration scenario uses the user's Documents folder as the shell reports
 * it and writes there, so it runs only with ORVO_TEST_THROWAWAY_PROFILE=1 in the environment
 * (a throw-away Wine prefix). --config-only runs that scenario alone. */
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
/* After windows.h, which they need. */
#include <direct.h>
#include <io.h>
#include <shlobj.h>
#include <sys/stat.h>
#else
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "orvoaec/orvoaec.h"

static const char* g_library;
static struct {
  __typeof__(&startTest) startTest;
  __typeof__(&ORVOAEC_Create) create;
  __typeof__(&ORVOAEC_Process) process;
  __typeof__(&ORVOAEC_AddData) addData;
  __typeof__(&ORVOAEC_IsDoubleTalk) isDoubleTalk;
  __typeof__(&ORVOAEC_SetDenoiseLevel) setDenoiseLevel;
  __typeof__(&ORVOAEC_LoadConfig) loadConfig;
} api;

static int g_failures;
static void check(int ok, int line, const char* what) {
  if (!ok) fprintf(stderr, "c_api_host.c:%d: check failed: %s\n", line, what), ++g_failures;
}
#define CHECK(cond) check((cond) != 0, __LINE__, #cond)

#if defined(_WIN32)
/* The export table of the module-definition file. */
static const struct {
  const char* name;
  int ordinal;
} kExports[7] = {
    {"startTest", 1},         {"ORVOAEC_Create", 2},       {"ORVOAEC_Process", 3},
    {"ORVOAEC_AddData", 4},   {"ORVOAEC_IsDoubleTalk", 5}, {"ORVOAEC_SetDenoiseLevel", 6},
    {"ORVOAEC_LoadConfig", 7}};

static void load_library(void) {
  HMODULE lib = LoadLibraryA(g_library);
  if (lib == NULL) {
    fprintf(stderr, "LoadLibrary(%s) failed: error %lu\n", g_library, GetLastError());
    exit(2);
  }
  FARPROC byOrdinal[7];
  for (int i = 0; i < 7; ++i) {
    FARPROC byName = GetProcAddress(lib, kExports[i].name);
    byOrdinal[i] = GetProcAddress(lib, MAKEINTRESOURCEA(kExports[i].ordinal));
    if (byName == NULL || byOrdinal[i] == NULL || byName != byOrdinal[i]) {
      fprintf(stderr, "export %s: by name %p, by ordinal %d %p\n", kExports[i].name, (void*)byName,
              kExports[i].ordinal, (void*)byOrdinal[i]);
      exit(2);
    }
  }
  /* No eighth export. */
  if (GetProcAddress(lib, MAKEINTRESOURCEA(8)) != NULL) {
    fprintf(stderr, "the library has an export at ordinal 8\n");
    exit(2);
  }
  api.startTest = (__typeof__(api.startTest))(void (*)(void))byOrdinal[0];
  api.create = (__typeof__(api.create))(void (*)(void))byOrdinal[1];
  api.process = (__typeof__(api.process))(void (*)(void))byOrdinal[2];
  api.addData = (__typeof__(api.addData))(void (*)(void))byOrdinal[3];
  api.isDoubleTalk = (__typeof__(api.isDoubleTalk))(void (*)(void))byOrdinal[4];
  api.setDenoiseLevel = (__typeof__(api.setDenoiseLevel))(void (*)(void))byOrdinal[5];
  api.loadConfig = (__typeof__(api.loadConfig))(void (*)(void))byOrdinal[6];
}
#else
#define LOAD(field, symbol)                                               \
  if ((api.field = (__typeof__(api.field))dlsym(lib, #symbol)) == NULL) { \
    fprintf(stderr, "export %s is missing\n", #symbol);                   \
    exit(2);                                                              \
  }

static void load_library(void) {
  void* lib = dlopen(g_library, RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "dlopen failed: %s\n", dlerror());
    exit(2);
  }
  LOAD(startTest, startTest);
  LOAD(create, ORVOAEC_Create);
  LOAD(process, ORVOAEC_Process);
  LOAD(addData, ORVOAEC_AddData);
  LOAD(isDoubleTalk, ORVOAEC_IsDoubleTalk);
  LOAD(setDenoiseLevel, ORVOAEC_SetDenoiseLevel);
  LOAD(loadConfig, ORVOAEC_LoadConfig);
}
#endif

/* In a child, standard output goes to a temporary file; logged() returns what was written since
 * its last call (valid until the next). */
static long long g_mark;
static char g_log[16384];

static const char* logged(void) {
  fflush(stdout);
#if defined(_WIN32)
  const long long end = _lseeki64(1, 0, SEEK_CUR);
  const size_t want =
      (size_t)(end - g_mark) < sizeof g_log ? (size_t)(end - g_mark) : sizeof g_log - 1;
  _lseeki64(1, g_mark, SEEK_SET);
  const int got = _read(1, g_log, (unsigned)want);
  _lseeki64(1, end, SEEK_SET);
#else
  const long long end = lseek(1, 0, SEEK_CUR);
  const size_t want =
      (size_t)(end - g_mark) < sizeof g_log ? (size_t)(end - g_mark) : sizeof g_log - 1;
  const ssize_t got = pread(1, g_log, want, g_mark);
#endif
  g_log[got > 0 ? got : 0] = '\0';
  g_mark = end;
  return g_log;
}

/* Evaluates the expression and keeps what it logged in g_log. */
#define CAPTURED(expr) (logged(), (void)(expr), logged())

static void expect_log(const char* want, const char* what) {
  if (strcmp(g_log, want) != 0) {
    fprintf(stderr, "%s differs.\n--- got ---\n%s\n--- want ---\n%s\n", what, g_log, want);
    ++g_failures;
  }
}

static const char* const kCreationLog =
    "AudioCore_Create"
    "Echo Canceler ON\nNoiseFill ON\nMIC STEERING ON\nPostFilter ON\nNoise Reduction ON\n"
    "Echo Suppression ON\nAGC ON\nAdaptDebug OFF\n"
    "DoubleTalk Debug OFF\nSignal Activity Detector Debug OFF\n"
    "Speech Activity Detector Debug OFF\nMIC BYPASS DISABLED\nSPK LOOPBACK DISABLED\n"
    "TIME DELAY CHECK DISABLED\nNEAR ONLY CHECK DISABLED\nSSL DISABLEDSSL DISABLED\n"
    "Maximum range of distance measuring is 14.860175 feet\n"
    "Average distance is 5.971970 feet\n"
    "\n Have found the table of weights for different angles.\n"
    "AudioCore_Creat: calling config mic description"
    "ConfigMicDesForOmbrix() called, nMicPodDetected = 0, mic type =5, channelCount = 8";

/* A deterministic test signal. */
static void make_frame(short* pcm, int n, int frame, int seed) {
  unsigned state = (unsigned)(frame * 7919 + seed * 104729 + 1);
  for (int i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    pcm[i] = (short)((int)(state >> 16) % 4000 - 2000);
  }
}

/* --- scenarios, each run in its own child process ----------------------------------------- */

/* The entries before and after creation. */
static void scenario_entries(void) {
  short mic[1920] = {0}, ref[960] = {0}, out[960], before[960];
  memset(out, 0x5a, sizeof out);
  memcpy(before, out, sizeof out);
  CAPTURED(CHECK(api.addData(ref) == 0));
  expect_log("AudioCore_Add_SpkData() FAILED: hRoomPro is NULL", "AddData without engine");
  CAPTURED(api.setDenoiseLevel());
  expect_log("invalid audio call handle\n", "SetDenoiseLevel without engine");
  CAPTURED(CHECK(api.process(mic, ref, out, 0, 1, 1) == 0));
  expect_log(
      "OmbrixAudioCore_FrameProcess() FAILED: hRoomPro is NULL"
      "invalid audio call handle\n",
      "Process without engine");
  CHECK(memcmp(out, before, sizeof out) == 0);
  CHECK(api.isDoubleTalk() == 0);
  for (int round = 0; round < 2; ++round) { /* a second creation logs the defaults again */
    CAPTURED(CHECK(api.create() != NULL));
    expect_log(kCreationLog, round == 0 ? "creation log" : "second creation log");
    CHECK(api.isDoubleTalk() == 0);
    CAPTURED((CHECK(api.addData(ref) == 0), api.setDenoiseLevel()));
    expect_log("", "AddData and SetDenoiseLevel with an engine");
    for (int frame = 0; frame < 15; ++frame) {
      make_frame(mic, 1920, frame, 3);
      make_frame(ref, 960, frame, 4);
      CHECK(api.process(mic, ref, out, 0, frame / 5 * 2, 1) == 0); /* modes 0, 2 and 4 */
    }
  }
  /* mode 3 takes 1920 interleaved values and returns one 960-sample frame */
  CAPTURED(api.process(mic, ref, out, 0, 3, 1));
  CHECK(strstr(g_log, "mic type =4, channelCount = 2") != NULL);
}

/* 30 frames into this run's part of a buffer shared with the parent: run 0 plain, run 1 with a
 * frame flag, run 2 calling ORVOAEC_SetDenoiseLevel before every frame. */
static short* g_outputs;
static int g_run;
enum { kRunFrames = 30 };

static void scenario_run(void) {
  const int run = g_run;
  api.create();
  short mic[960], ref[960];
  for (int frame = 0; frame < kRunFrames; ++frame) {
    make_frame(mic, 960, frame, 5);
    make_frame(ref, 960, frame, 6);
    api.addData(ref);
    if (run == 2) api.setDenoiseLevel();
    api.process(mic, ref, g_outputs + (run * kRunFrames + frame) * 960, run == 1 ? 0x5a : 0, 1, 1);
  }
}

/* --- files by UTF-8 path (wide-character functions on Windows) --------------------------- */

#if defined(_WIN32)
static const char kSep = '\\';
static wchar_t* widen(const char* utf8) {
  static wchar_t wide[2][1024];
  static int next;
  wchar_t* w = wide[next++ & 1];
  if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w, 1024) == 0) exit(2);
  return w;
}
static FILE* open_file(const char* path, const char* mode) {
  wchar_t wmode[8];
  MultiByteToWideChar(CP_UTF8, 0, mode, -1, wmode, 8);
  return _wfopen(widen(path), wmode);
}
static int make_dir(const char* path) {
  return _wmkdir(widen(path));
}
static int remove_dir(const char* path) {
  return _wrmdir(widen(path));
}
static int remove_file(const char* path) {
  return _wremove(widen(path));
}
static int change_dir(const char* path) {
  return _wchdir(widen(path));
}
static long file_size(const char* path) {
  struct _stat64 st;
  return _wstat64(widen(path), &st) == 0 ? (long)st.st_size : -1;
}
static void to_utf8(const wchar_t* wide, char* out, int size) {
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, NULL, NULL) == 0) exit(2);
}
#else
static const char kSep = '/';
static FILE* open_file(const char* path, const char* mode) {
  return fopen(path, mode);
}
static int make_dir(const char* path) {
  return mkdir(path, 0700);
}
static int remove_dir(const char* path) {
  return rmdir(path);
}
static int remove_file(const char* path) {
  return remove(path);
}
static int change_dir(const char* path) {
  return chdir(path);
}
static long file_size(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? (long)st.st_size : -1;
}
#endif

static void write_bytes(const char* path, const void* data, size_t size) {
  FILE* f = open_file(path, "wb");
  if (f == NULL) exit(2);
  fwrite(data, 1, size, f);
  fclose(f);
}

/* The whole file, zero-terminated, in a static buffer; "" when it cannot be read. */
static const char* read_text(const char* path) {
  static char text[4096];
  FILE* f = open_file(path, "rb");
  size_t got = 0;
  if (f != NULL) {
    got = fread(text, 1, sizeof text - 1, f);
    fclose(f);
  }
  text[got] = '\0';
  return text;
}

/* A test's own Documents folder and working folder. Linux: HOME in a new temporary folder (this
 * child's environment only). Windows: the Documents folder the shell reports (a throw-away Wine
 * prefix points it at a temporary folder) and a new folder under the temporary folder. */
static char g_documents[1024];
static char g_workdir[1024];

static void enter_test_profile(void) {
#if defined(_WIN32)
  const char* throwaway = getenv("ORVO_TEST_THROWAWAY_PROFILE");
  if (throwaway == NULL || strcmp(throwaway, "1") != 0) {
    fprintf(stderr,
            "the configuration scenario writes to the Documents folder: run it in a "
            "throw-away profile with ORVO_TEST_THROWAWAY_PROFILE=1\n");
    exit(2);
  }
  wchar_t wide[MAX_PATH];
  if (SHGetFolderPathW(NULL, CSIDL_PERSONAL, NULL, SHGFP_TYPE_CURRENT, wide) != S_OK) exit(2);
  to_utf8(wide, g_documents, sizeof g_documents);
  wchar_t temp[MAX_PATH];
  if (GetTempPathW(MAX_PATH, temp) == 0) exit(2);
  char tempUtf8[MAX_PATH * 3];
  to_utf8(temp, tempUtf8, sizeof tempUtf8);
  snprintf(g_workdir, sizeof g_workdir, "%sorvo_c_host_%lu", tempUtf8, GetCurrentProcessId());
  if (make_dir(g_workdir) != 0 || change_dir(g_workdir) != 0) exit(2);
#else
  char home[] = "/tmp/orvo_c_home_XXXXXX";
  if (mkdtemp(home) == NULL || change_dir(home) != 0) exit(2);
  setenv("HOME", home, 1);
  setenv("XDG_CONFIG_HOME", ".config", 1);
  unsetenv("XDG_DOCUMENTS_DIR");
  snprintf(g_workdir, sizeof g_workdir, "%s", home);
  snprintf(g_documents, sizeof g_documents, "%s/Documents", home);
  if (make_dir(g_documents) != 0) exit(2);
#endif
}

/* The log of one ORVOAEC_LoadConfig that finds the file at `path`: the two loading lines, then
 * `lines`. */
static void expect_loading(const char* path, const char* lines, const char* what) {
  static char want[8192];
  snprintf(want, sizeof want,
           "Loading configration from %s\nConfigLoader::load_configuration load configuration "
           "from %s\n%s",
           path, path, lines);
  expect_log(want, what);
}

/* ORVOAEC_LoadConfig and startTest in the test's own Documents folder: nothing is written while
 * the RereridEva folder is missing; then the default file is written (text-mode line ends) and
 * not applied; loaded, it applies the creation defaults; good and bad values give their
 * messages; a second ORVOAEC_Create brings back the default ducker threshold; startTest reports
 * missing inputs and writes nothing. */
static void scenario_config_and_offline(void) {
  enter_test_profile();
  char dir[1100], path[1200];
  snprintf(dir, sizeof dir, "%s%cRereridEva", g_documents, kSep);
  snprintf(path, sizeof path, "%s%cconfig.yml", dir, kSep);
  fprintf(stderr, "configuration file: %s\n", path);
  remove_file(path);
  remove_dir(dir);

  CAPTURED(api.create());
  CAPTURED(api.loadConfig());
  expect_log("config.yml not found. Use default value to generate it\n", "LoadConfig, no folder");
  CHECK(file_size(dir) == -1);
  CHECK(make_dir(dir) == 0);
  CAPTURED(api.loadConfig());
  expect_log("config.yml not found. Use default value to generate it\n", "first LoadConfig");
  const char* text = read_text(path);
#if defined(_WIN32)
  const char* eol = "\r\n";
#else
  const char* eol = "\n";
#endif
  char head[256];
  snprintf(head, sizeof head,
           "# Configuration file for audio algorithm%s# Note:there must be a space after \":\"%s",
           eol, eol);
  CHECK(strncmp(text, head, strlen(head)) == 0);
  CHECK(strstr(text, "ducker_threashold: -30") != NULL);
  int lf = 0, crlf = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    lf += *c == '\n';
    crlf += *c == '\n' && c > text && c[-1] == '\r';
  }
  CHECK(lf >= 7 && crlf == (eol[0] == '\r' ? lf : 0));

  CAPTURED(api.loadConfig());
  expect_loading(path,
                 "ConfigLoader::load_reverberation, reverberation: 21\n"
                 "ConfigLoader::load_ducker_enter_time, : 160\n"
                 "ConfigLoader::load_ducker_exit_time, : 500\n"
                 "ConfigLoader::load_ducker_threshold, ducker threhold: -30\n"
                 "ConfigLoader::load_double_talk_threshold, double_talk_threshold: 48\n"
                 "AudioCore set hangover time 21\n"
                 "AudioCore set ducker enter time 8\n"
                 "AudioCore set ducker exit time 25\n"
                 "Ducker threshold: 1e+09\n"
                 "AudioCore ducker threshold 1e+09\n"
                 "AudioCore set double talk threashold 48\n",
                 "LoadConfig of the default file");

  static const char kMixed[] =
      "reverberation: 17\nducker_enter_time: 130\nducker_exit_time: 701\n"
      "ducker_threashold: -46\nref_delay: 1\ndouble_talk_threshold: many\ndenoise_level: 4\n";
  write_bytes(path, kMixed, sizeof kMixed - 1);
  CAPTURED(api.loadConfig());
  expect_loading(path,
                 "ConfigLoader::load_reverberation, reverberation: 17\n"
                 "ConfigLoader::load_ducker_enter_time, : 130\n"
                 "ConfigLoader::load_ducker_exit_time, invalid setting as 701. Valid range "
                 "[120, 700]\n"
                 "ConfigLoader::load_ducker_threshold, invalid setting as -46. Valid range "
                 "[-45, -25]\n"
                 "ConfigLoader::load_ref_delay, invalid setting as 1. Valid range [2, 15]\n"
                 "ConfigLoader::load_double_talk_threshold, double_talk_threshold is invalid. "
                 "Input interger between [8, 256]\n"
                 "ConfigLoader::load_denoise_level, denoise_level: 4\n"
                 "AudioCore set hangover time 17\n"
                 "AudioCore set ducker enter time 6\n",
                 "LoadConfig with good and bad values");

  write_bytes(path, "ducker_threashold: -45\n", 23);
  CAPTURED(api.loadConfig());
  CHECK(strstr(g_log, "Ducker threshold: 1e+06\nAudioCore ducker threshold 1e+06\n"));
  /* -25 keeps the threshold in force: after a new creation that is the default again. */
  write_bytes(path, "ducker_threashold: -25\n", 23);
  CAPTURED((api.create(), api.loadConfig()));
  CHECK(strstr(g_log, "Ducker threshold: 1e+09\nAudioCore ducker threshold 1e+09\n"));
  CAPTURED(CHECK(api.startTest() == 0));
  CHECK(strstr(g_log, "startTest: cannot open MicData.pcm") != NULL);
  CHECK(file_size("Out.pcm") == -1);

  CHECK(remove_file(path) == 0);
  CHECK(remove_dir(dir) == 0);
#if defined(_WIN32)
  change_dir("..");
  CHECK(remove_dir(g_workdir) == 0);
#else
  CHECK(remove_dir(g_documents) == 0);
  char cleanup[1200];
  snprintf(cleanup, sizeof cleanup, "rm -rf '%s'", g_workdir);
  CHECK(system(cleanup) == 0);
#endif
}

/* Two microphones (mode 3) with a silent far end: a talker that appears on channel 1 makes the
 * returned selection switch to 1 after 25 frames of disagreement (the ducker exit time), or 10
 * with duckerHold 0; moving back to channel 0 takes 8 (the ducker enter time). The choice sees a
 * new talker a frame or two late (the analysis window's delay and the noise floor it must beat),
 * so the frame counts here carry that same small lag in every case. */
static int frames_until_selection(int talkerChannel, int target, int duckerHold, int seed) {
  short mic[1920], ref[960] = {0}, talker[960], out[960];
  for (int f = 0; f < 100; ++f) {
    make_frame(talker, 960, f, seed);
    for (int i = 0; i < 960; ++i) {
      mic[2 * i] = talkerChannel == 0 ? talker[i] : 0;
      mic[2 * i + 1] = talkerChannel == 1 ? talker[i] : 0;
    }
    if (api.process(mic, ref, out, 0, 3, duckerHold) == target) return f + 1;
  }
  return -1;
}

static void scenario_choice(void) {
  short mic[1920] = {0}, ref[960] = {0}, out[960];
  int away[2], back[2];
  for (int hold = 1; hold >= 0; --hold) {
    api.create();
    /* Silence until the far-end hangover of the first frames has run out. */
    for (int f = 0; f < 12; ++f)
      CHECK(api.process(mic, ref, out, 0, 3, hold) == 0);
    away[hold] = frames_until_selection(1, 1, hold, 21);
    back[hold] = frames_until_selection(0, 0, hold, 22);
  }
  fprintf(stderr,
          "choice: duckerHold 1 switched after %d and %d frames, duckerHold 0 after %d and %d\n",
          away[1], back[1], away[0], back[0]);
  CHECK(away[1] >= 25 && away[1] <= 27);
  CHECK(away[1] - away[0] == 15);
  CHECK(back[1] >= 8 && back[1] <= 10);
  CHECK(back[0] == back[1]);
}

/* --- children ------------------------------------------------------------------------------ */

static void (*const kScenarios[])(void) = {scenario_entries, scenario_config_and_offline,
                                           scenario_choice};
enum { kScenarioCount = sizeof kScenarios / sizeof *kScenarios, kRuns = 3 };
static const size_t kRunBytes = kRunFrames * 960 * sizeof(short);

/* Child number `job`: the scenarios first, then the runs. */
static void run_job(int job) {
  load_library();
  if (job < kScenarioCount) {
    kScenarios[job]();
  } else {
    g_run = job - kScenarioCount;
    scenario_run();
  }
  fflush(NULL);
}

#if defined(_WIN32)
/* The program starts itself again as `c_api_host LIBRARY --child JOB OUTPUTS`; the child keeps
 * its standard output in a temporary file and writes its run's frames to OUTPUTS. */
static char g_self[MAX_PATH];

static int run_child(int job) {
  char outputs[MAX_PATH + 32];
  snprintf(outputs, sizeof outputs, "c_api_host_%lu_%d.pcm", GetCurrentProcessId(), job);
  char command[3 * MAX_PATH + 64];
  snprintf(command, sizeof command, "\"%s\" \"%s\" --child %d \"%s\"", g_self, g_library, job,
           outputs);
  STARTUPINFOA si;
  PROCESS_INFORMATION pi;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  fflush(NULL);
  if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
    fprintf(stderr, "cannot start %s: error %lu\n", command, GetLastError());
    return 99;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  if (job >= kScenarioCount) {
    FILE* f = fopen(outputs, "rb");
    const size_t got =
        f != NULL ? fread(g_outputs + (job - kScenarioCount) * kRunFrames * 960, 1, kRunBytes, f)
                  : 0;
    if (f != NULL) fclose(f);
    if (got != kRunBytes) code = code != 0 ? code : 98;
  }
  remove(outputs);
  return (int)code;
}

static int child_main(int job, const char* outputs) {
  char logPath[MAX_PATH], tempDir[MAX_PATH];
  if (GetTempPathA(MAX_PATH, tempDir) == 0 || GetTempFileNameA(tempDir, "orv", 0, logPath) == 0)
    return 2;
  if (freopen(logPath, "w+b", stdout) == NULL) return 2;
  run_job(job);
  if (job >= kScenarioCount) write_bytes(outputs, g_outputs + g_run * kRunFrames * 960, kRunBytes);
  fclose(stdout);
  remove(logPath);
  return g_failures == 0 ? 0 : 1;
}
#else
static int run_child(int job) {
  fflush(NULL);
  pid_t pid = fork();
  if (pid == 0) {
    FILE* out = tmpfile();
    if (out == NULL || dup2(fileno(out), 1) < 0) _exit(2);
    run_job(job);
    _exit(g_failures == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}
#endif

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s LIBRARY [--config-only]\n", argv[0]);
    return 2;
  }
  g_library = argv[1];
#if defined(_WIN32)
  g_outputs = malloc(kRuns * kRunBytes);
  if (g_outputs == NULL) return 2;
  if (argc == 5 && strcmp(argv[2], "--child") == 0) return child_main(atoi(argv[3]), argv[4]);
  if (GetModuleFileNameA(NULL, g_self, sizeof g_self) == 0) return 2;
#else
  g_outputs =
      mmap(NULL, kRuns * kRunBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (g_outputs == MAP_FAILED) return 2;
#endif
  if (argc == 3 && strcmp(argv[2], "--config-only") == 0) {
    const int rc = run_child(1);
    printf("c_api_host: configuration scenario %s\n", rc == 0 ? "passed" : "failed");
    return rc == 0 ? 0 : 1;
  }
  int failed = 0;
  for (int job = 0; job < kScenarioCount + kRuns; ++job)
    failed += run_child(job) != 0;
  /* frameFlag and ORVOAEC_SetDenoiseLevel leave the output unchanged. */
  for (int run = 1; run < kRuns; ++run) {
    if (memcmp(g_outputs, g_outputs + run * kRunFrames * 960, kRunBytes) != 0) {
      fprintf(stderr, "%s changed the output\n", run == 1 ? "frameFlag" : "SetDenoiseLevel");
      ++failed;
    }
  }
  if (failed != 0) {
    fprintf(stderr, "c_api_host: %d scenario(s) failed\n", failed);
    return 1;
  }
  printf("c_api_host: all scenarios passed\n");
  return 0;
}
