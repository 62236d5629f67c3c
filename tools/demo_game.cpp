// A stand-in for the game, published as "corvanthe.exe" by the demo and the tests. It shows that
// the launcher started it and how: it prints a line and writes "corvanthe-started.txt" into its
// working folder with the number of arguments it got, each argument, and the folder itself.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

int main(int argc, char** argv) {
    std::error_code ec;
    const std::string folder = std::filesystem::current_path(ec).string();
    std::printf("Corvanthe (stand-in game) is running in %s with %d argument(s).\n", folder.c_str(),
                argc - 1);
    std::FILE* file = std::fopen("corvanthe-started.txt", "w");
    if (!file) return 1;
    std::fprintf(file, "arguments %d\n", argc - 1);
    for (int i = 1; i < argc; ++i) std::fprintf(file, "argument %s\n", argv[i]);
    std::fprintf(file, "folder %s\n", folder.c_str());
    std::fprintf(file, "time %lld\n", static_cast<long long>(std::time(nullptr)));
    return std::fclose(file) == 0 ? 0 : 1;
}
