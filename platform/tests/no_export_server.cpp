// A shared library without DllGetClassObject: loading it as a server must fail.
extern "C" __attribute__((visibility("default"))) int NotAServer() { return 1; }
