// towagi-bat: runs a ".bat" file as the suite's Windows command interpreter would, for the commands the
// suite and its installation scripts use. The launchers start ".bat" files through it.

#include "platform/batch_runner.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "使い方: towagi-bat バッチファイル [引数...]\n";
        return 2;
    }
    towagi::TBatchRunner runner;
    return runner.RunFile(argv[1], std::vector<std::string>(argv + 2, argv + argc));
}
