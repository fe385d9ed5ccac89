// ThreadSanitizer suppressions for the tests that lose X connections: after an
// I/O error handler returns, libX11 unlocks the display once more than it
// locked it, Xlib's own bookkeeping. The build exports this for the runtime.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions()
{
    return "mutex:libX11.so\nmutex:libXrandr.so\n";
}
