/* A stand-in crypto library for the pre-load tests: reports itself as
   OpenSSL 0.9.8y and, unless built without it, has RSA_generate_key_ex. Its
   SONAME is libcrypto.so.3, so a later load by that bare name finds it. */

unsigned long SSLeay(void) { return 0x0090819fUL; }

#ifndef ORVO_FAKE_WITHOUT_RSA
int RSA_generate_key_ex(void* rsa, int bits, void* e, void* cb) {
  (void)rsa;
  (void)bits;
  (void)e;
  (void)cb;
  return 0;
}
#endif
