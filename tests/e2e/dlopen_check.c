/* SPDX-License-Identifier: Apache-2.0 */
/* Loads the library into a plain C program that links nothing of ours, finds every core entry point, and
 * refuses an unknown record. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    const char* names[] = {"ClientConnected", "ClientDataRead", "TRACE_INIT", "Log", "ClientDisconnected"};
    void *library = argc == 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL, *found = library;
    for (unsigned i = 0; found != NULL && i < sizeof(names) / sizeof(names[0]); ++i) found = dlsym(library, names[i]);
    if (found == NULL) return fprintf(stderr, "cannot load %s: %s\n", argv[argc - 1], dlerror()), 1;
    ((void (*)(void*))found)(NULL);
    return dlclose(library);
}
