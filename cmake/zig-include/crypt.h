// zig's glibc headers leave out <crypt.h>, which Python.h includes when the
// interpreter was built with it. The module calls no crypt function; this is
// the declaration glibc 2.17's header gives.
#ifndef QUORVEL_ZIG_CRYPT_H
#define QUORVEL_ZIG_CRYPT_H

#ifdef __cplusplus
extern "C" {
#endif

char* crypt(const char* key, const char* salt);

#ifdef __cplusplus
}
#endif

#endif  // QUORVEL_ZIG_CRYPT_H
