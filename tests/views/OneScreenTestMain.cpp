// Widget tests on Qt's offscreen platform with one 1920 × 1080 screen at the
// origin and no window frame margins, so window geometry is exact.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::filesystem::path config =
        std::filesystem::temp_directory_path() / ("tavlo-one-screen-" + std::to_string(::getpid()) + ".json");
    {
        std::ofstream out(config);
        out << R"({"synchronousWindowSystemEvents": true, "windowFrameMargins": false,
                   "screens": [{"name": "OneScreen", "x": 0, "y": 0, "width": 1920, "height": 1080,
                                "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    }
    std::string platform = "offscreen:configfile=" + config.string();
    ::setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    int status = 0;
    {
        std::unique_ptr<QApplication> application;
        if (!::testing::GTEST_FLAG(list_tests)) {
            application = std::make_unique<QApplication>(argc, argv);
            QApplication::setQuitOnLastWindowClosed(false);
        }
        status = RUN_ALL_TESTS();
    }
    std::filesystem::remove(config);
    return status;
}
