/* Loads the library into a plain C program that links nothing of ours and
 * finds every core entry point. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    static const char* const names[] = {"ClientConnected", "ClientDataRead", "ClientDisconnected", "TRACE_INIT", "Log"};
    if (argc != 2) {
        fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    for (unsigned i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
        if (dlsym(library, names[i]) == NULL) {
            fprintf(stderr, "missing entry point %s\n", names[i]);
            return 1;
        }
    }
    /* An unknown record is refused without touching it. */
    void (*disconnected)(void*) = (void (*)(void*))dlsym(library, "ClientDisconnected");
    disconnected(NULL);
    dlclose(library);
    printf("loaded %s\n", argv[1]);
    return 0;
}
