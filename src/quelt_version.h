// The build's branch and version texts.
#pragma once

#include <cstddef>

// The full source-control path of this build ("branches/master") and its commit and build time
// ("<40 hex digits>.<unix seconds>"). Constant for the life of the process.
extern const char *quelt_branch;
extern const char *quelt_version;

// Writes "<ref>.<commit>.<seconds>" into buf (at most len - 1 characters, always terminated)
// for the given branch path and version text: the ref is the path without a leading "branches/",
// or else without a leading "tags/", or else the path whole. Returns buf.
char *quelt_build_version_from(char *buf, size_t len, const char *branch, const char *version);
// The same for this build.
char *quelt_build_version(char *buf, size_t len);

// The release number of this build ("0.1.0"), its 40-hex-digit commit, and its build time in
// Unix seconds as text.
extern const char *quelt_release;
const char *quelt_build_commit(void);
const char *quelt_build_seconds(void);
