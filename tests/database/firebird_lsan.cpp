// Firebird's client keeps its SRP numbers (libtommath) and character-set converters until the process
// ends; the leak checker of sanitizer builds is told so here, for every program that attaches.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfbclient.so\nleak:libtommath.so\n";
}
