// Stand-in installer as a native program: records its arguments and the tag
// compiled into it in $RECORD_DIR. Tests make a look-alike by replacing the
// tag's bytes in a copy of the binary.
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Records "<owner> <mode> <beside|alone>" of the folder it runs from, as it
// finds it through /proc/self/exe: whether a planted "version.dll" lies
// beside it, where an installer loading libraries from its own folder would
// pick it up.
static void RecordOwnFolder(const char* dir) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return;
  exe[n] = '\0';
  const char* folder = dirname(exe);
  struct stat st;
  char planted[4200];
  char path[4200];
  snprintf(planted, sizeof planted, "%s/version.dll", folder);
  snprintf(path, sizeof path, "%s/installer.folder", dir);
  FILE* out = fopen(path, "w");
  if (out == nullptr || stat(folder, &st) != 0) {
    if (out != nullptr) fclose(out);
    return;
  }
  fprintf(out, "%u %o %s\n", static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777),
          access(planted, F_OK) == 0 ? "beside" : "alone");
  fclose(out);
}

// Writes `text` to the record file `name` in `dir`.
static void Record(const char* dir, const char* name, const char* text) {
  char path[4200];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* out = fopen(path, "w");
  if (out == nullptr) return;
  fprintf(out, "%s\n", text);
  fclose(out);
}

// Records where it runs ("installer.where") and whether its working folder
// is that folder ("installer.cwd": "own", else the path). When the test left
// "installer.wait", it then waits for "installer.go" and records what
// "version.dll" beside itself, by the path it started with, holds
// ("installer.beside", "nothing" when none): a folder swapped meanwhile
// would hand it someone else's.
static void RecordBeside(const char* dir) {
  char exe[4096];
  char cwd[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0 || getcwd(cwd, sizeof cwd) == nullptr) return;
  exe[n] = '\0';
  const char* folder = dirname(exe);
  Record(dir, "installer.where", folder);
  Record(dir, "installer.cwd", strcmp(cwd, folder) == 0 ? "own" : cwd);
  char path[4200];
  snprintf(path, sizeof path, "%s/installer.wait", dir);
  if (access(path, F_OK) != 0) return;
  snprintf(path, sizeof path, "%s/installer.go", dir);
  for (int i = 0; i < 3000 && access(path, F_OK) != 0; ++i) usleep(10000);
  char beside[4200];
  char bytes[256] = "nothing";
  snprintf(beside, sizeof beside, "%s/version.dll", folder);
  if (FILE* in = fopen(beside, "r")) {
    const size_t got = fread(bytes, 1, sizeof bytes - 1, in);
    bytes[got] = '\0';
    fclose(in);
  }
  Record(dir, "installer.beside", bytes);
}

static const char kTag[] = "installer-tag:genuine";

int main(int argc, char** argv) {
  const char* dir = getenv("RECORD_DIR");
  char path[4096];
  if (dir == nullptr) return 2;
  snprintf(path, sizeof path, "%s/installer.tag", dir);
  FILE* out = fopen(path, "w");
  if (out == nullptr) return 3;
  fprintf(out, "%s\n", kTag + 14);
  fclose(out);
  snprintf(path, sizeof path, "%s/installer.args", dir);
  out = fopen(path, "w");
  if (out == nullptr) return 3;
  fprintf(out, "%d\n", argc - 1);
  for (int i = 1; i < argc; ++i) fprintf(out, "%s\n", argv[i]);
  fclose(out);
  RecordOwnFolder(dir);
  RecordBeside(dir);
  return 0;
}
