// ThreadSanitizer suppressions for the tests that break X connections.
//
// When an I/O error handler returns, libX11 leaves the display unlocked once
// more than it locked it: the request that met the error unlocks it again.
// ThreadSanitizer reports that as an unlock of an unlocked mutex inside Xlib;
// it is Xlib's own bookkeeping, not the code under test. The runtime asks the
// executable for these through this function (exported for it by the build).
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions()
{
    return "mutex:libX11.so\n"
           "mutex:libXrandr.so\n";
}
