// makesamples FOLDER: writes every harmless test sample into FOLDER (made when missing) and
// lists what each one is and what the detector must answer for it.
#include "tools/samples.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

int main(int argc, char **argv)
{
    static const char usage[] = "usage: makesamples FOLDER\n"
                                "Writes every harmless test sample into FOLDER (made when "
                                "missing) and lists them.\n";
    if (argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    // Any other option is a mistake, not a folder to make: "./-x" names such a folder.
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(usage, stderr);
        return 2;
    }
    std::string folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    char separator = folder.find('\\') != std::string::npos ? '\\' : '/';
    int written = samples::WriteAllSamples(folder, separator);
    for (int i = 0; i < samples::SampleCount; i++) {
        const samples::SampleInfo &info = samples::Sample((samples::SampleId)i);
        std::printf("%-30s %-8s %s\n", info.fileName, info.entry > 0 ? "infected" : "clean",
                    info.about);
    }
    if (written != samples::SampleCount) {
        std::fprintf(stderr, "makesamples: wrote %d of %d samples into %s\n", written,
                     (int)samples::SampleCount, folder.c_str());
        return 1;
    }
    return 0;
}
