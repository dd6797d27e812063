// The Quillon program: for now it only answers --version.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", QUILLON_VERSION_TEXT);
            return 0;
        }
        std::fprintf(stderr, "quillon: unknown option '%s'\nUsage: quillon --version\n", argv[i]);
        return 2;
    }
    std::fprintf(stderr, "quillon: nothing to run yet; try --version\n");
    return 2;
}
