// Stand-in installer as a native program: records its arguments and the tag
// compiled into it in $RECORD_DIR. Tests make a look-alike by replacing the
// tag's bytes in a copy of the binary.
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
  return 0;
}
