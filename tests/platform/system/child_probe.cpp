// The program the process seam's tests start, on both systems. Its arguments are a list of
// steps, run in order:
//   out TEXT | err TEXT   the text and a newline on standard output / error
//   env NAME              the variable's value ("-" when unset) and a newline
//   in                    standard input copied to standard output
//   cwd                   the working folder's last name and a newline
//   sleep MS              pauses
//   exit N                ends with exit code N
//   args ...              every remaining argument in brackets, then the end (exit code 0)
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (step == "args") {
            for (++i; i < argc; ++i) std::cout << '[' << argv[i] << ']';
            return 0;
        }
        if (step == "in") {
            std::cout << std::string(std::istreambuf_iterator<char>(std::cin), {});
            continue;
        }
        if (step == "cwd") {
            std::cout << std::filesystem::current_path().filename().string() << '\n';
            continue;
        }
        ++i;
        if (step == "out") std::cout << value << '\n' << std::flush;
        if (step == "err") std::cerr << value << '\n' << std::flush;
        if (step == "env") std::cout << (std::getenv(value) ? std::getenv(value) : "-") << '\n';
        if (step == "sleep") std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(value)));
        if (step == "exit") return std::atoi(value);
    }
    return 0;
}
