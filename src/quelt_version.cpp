#include "quelt_version.h"

#include <cstdio>
#include <cstring>

#include "quelt_build.h"

const char *quelt_branch = QUELT_BUILD_BRANCH;
const char *quelt_version = QUELT_BUILD_VERSION;
const char *quelt_release = QUELT_BUILD_RELEASE;

const char *quelt_build_commit(void) {
  return QUELT_BUILD_COMMIT;
}

const char *quelt_build_seconds(void) {
  return QUELT_BUILD_SECONDS;
}

char *quelt_build_version_from(char *buf, size_t len, const char *branch, const char *version) {
  const char *ref = branch;
  if (strncmp(ref, "branches/", 9) == 0) {
    ref += 9;
  } else if (strncmp(ref, "tags/", 5) == 0) {
    ref += 5;
  }
  if (len > 0) snprintf(buf, len, "%s.%s", ref, version);
  return buf;
}

char *quelt_build_version(char *buf, size_t len) {
  return quelt_build_version_from(buf, len, quelt_branch, quelt_version);
}
