#include "tools/sample_image.h"

#include <string_view>

std::vector<IsoBuildFile> sample_image_files(SampleBytes executable, SampleBytes archive,
                                             std::uint64_t image_size) {
    const std::string_view cnf = SAMPLE_SYSTEM_CNF;
    std::vector<IsoBuildFile> files;
    files.push_back({"SYSTEM.CNF", SampleBytes(cnf.begin(), cnf.end()), cnf.size(), 0});
    const std::uint64_t executable_size = executable.size();
    files.push_back({"SLUS_217.88", std::move(executable), executable_size, 0});
    const std::uint64_t archive_size = archive.size();
    files.push_back({"RPK.BIN", std::move(archive), archive_size, 0});
    // Small modules after the archive, as the console's drivers lie on discs.
    for (const char* name : {"MODULES/CDVDMAN.IRX", "MODULES/PADMAN.IRX", "MODULES/SIO2MAN.IRX"}) {
        SampleBytes module(4000 + std::string_view(name).size() * 100);
        for (std::size_t i = 0; i < module.size(); ++i) {
            module[i] = static_cast<std::uint8_t>(i * 7 + name[8]);
        }
        const std::uint64_t size = module.size();
        files.push_back({name, std::move(module), size, 0});
    }
    std::uint64_t used = 0;
    for (const IsoBuildFile& f : files) {
        used += (f.size + 2047) / 2048 * 2048;
    }
    // About 300 sectors of descriptors, tables and folders come on top.
    constexpr std::uint64_t overhead = 300 * 2048;
    if (image_size > used + overhead) {
        files.push_back({"DUMMY.DAT", {}, image_size - used - overhead, 0});
    }
    return files;
}

IsoBuildOptions sample_image_options() {
    IsoBuildOptions options;
    options.udf = true;
    options.volume_id = "KORVANE_SAMPLE";
    return options;
}

bool write_sample_image(const std::vector<IsoBuildFile>& files, const std::string& path,
                        std::string* err) {
    return write_iso_image(files, sample_image_options(), path, err);
}
