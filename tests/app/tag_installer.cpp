// Stand-in installer as a native program: records its arguments and the tag
// compiled into it in $RECORD_DIR. Tests make a look-alike by replacing the
// tag's bytes in a copy of the binary.
#include <cstdio>
#include <cstdlib>

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
  return 0;
}
