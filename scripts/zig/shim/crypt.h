/* CPython 3.6's Python.h includes <crypt.h>, which zig's glibc headers do
   not have (libcrypt's own package does). The module never calls crypt(3);
   its declaration is all the header needs to give. Found only where the
   compiler has no crypt.h of its own (-idirafter). */
#ifndef ZENDRAL_CRYPT_SHIM_H
#define ZENDRAL_CRYPT_SHIM_H
#ifdef __cplusplus
extern "C" {
#endif
char* crypt(const char* key, const char* salt);
#ifdef __cplusplus
}
#endif
#endif
