// Stand-in installer as a native program: records its arguments and the tag
// compiled into it in $RECORD_DIR. Tests make a look-alike by replacing the
// tag's bytes in a copy of the binary.
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

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

static void Record(const char* dir, const char* name, const std::string& text) {
  std::ofstream(std::string(dir) + "/" + name) << text << "\n";
}

// Records where it runs ("installer.where") and whether that is its working
// folder ("installer.cwd": "own", else the path). When the test left
// "installer.wait", it then waits for "installer.go" and records the line
// "version.dll" beside itself, by the path it started with, holds
// ("installer.beside"; "nothing" without one).
static void RecordBeside(const char* dir) {
  char exe[4096];
  char cwd[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0 || getcwd(cwd, sizeof cwd) == nullptr) return;
  exe[n] = '\0';
  const std::string folder = dirname(exe);
  Record(dir, "installer.where", folder);
  Record(dir, "installer.cwd", folder == cwd ? "own" : cwd);
  if (access((std::string(dir) + "/installer.wait").c_str(), F_OK) != 0) return;
  const std::string go = std::string(dir) + "/installer.go";
  for (int i = 0; i < 3000 && access(go.c_str(), F_OK) != 0; ++i) usleep(10000);
  std::ifstream beside(folder + "/version.dll");
  std::string line;
  Record(dir, "installer.beside", std::getline(beside, line) ? line : "nothing");
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
