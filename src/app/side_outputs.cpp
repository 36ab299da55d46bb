#include "app/side_outputs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"

namespace {

std::string part_path(const side_outputs& side, std::uint64_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "%03llu.bin", static_cast<unsigned long long>(index));
    return side.split_dir + "/" + name;
}

void open_part(side_outputs& side) {
    const std::string path = part_path(side, ++side.parts);
    check_not_input(side.input, path);
    side.part = open_output(path);
}

// Creates `dir` and any missing parent, as mkdir -p.
void make_directory(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string prefix = dir.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) break;
        if (slash == std::string::npos) break;
    }
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw fskdec_error("cannot create directory " + dir);
    }
}

void open_spool(json_spool& spool) {
    spool.file = std::tmpfile();
    if (spool.file == nullptr) throw fskdec_error("cannot open a temporary file");
}

void add_item(json_spool& spool, const std::string& item) {
    const std::string text = (spool.any ? ",\n    " : "\n    ") + item;
    spool.any = true;
    if (std::fputs(text.c_str(), spool.file) == EOF) {
        throw fskdec_error("cannot write a temporary file");
    }
}

void copy_items(json_spool& spool, const text_sink& out) {
    if (std::fflush(spool.file) != 0 || std::fseek(spool.file, 0, SEEK_SET) != 0) {
        throw fskdec_error("cannot read a temporary file");
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, spool.file)) > 0;)
        out({buffer, n});
    if (std::ferror(spool.file)) throw fskdec_error("cannot read a temporary file");
    if (spool.any) out("\n  ");
}

std::string without_prefix(const std::string& line) {
    const std::string prefix = "fskdec: ";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line;
}

}  // namespace

json_spool::~json_spool() {
    if (file != nullptr) std::fclose(file);
}

bool wants_side_outputs(const side_outputs& side) {
    return !side.json_path.empty() || !side.split_dir.empty();
}

void open_side_outputs(side_outputs& side, const std::string& map_path) {
    if (!side.json_path.empty()) {
        check_not_input(side.input, side.json_path);
        if (same_output(side.json_path, side.output_path)) {
            throw fskdec_error("the report and the output are the same file");
        }
        if (!map_path.empty() && same_output(side.json_path, map_path)) {
            throw fskdec_error("the report and the map are the same file");
        }
        check_not_recording(side.json_path);
    }
    if (!side.split_dir.empty()) make_directory(side.split_dir);
    if (!side.json_path.empty()) {
        open_spool(side.segments);
        open_spool(side.doubtful);
        side.json = open_output(side.json_path);
    }
}

void side_byte(side_outputs& side, const report_byte& byte) {
    if (!side.split_dir.empty()) {
        if (side.part.stream == nullptr) open_part(side);
        write_output(side.part, {&byte.value, 1});
    }
    ++side.offset;
    if (!side.json_path.empty() && is_doubtful(byte)) {
        ++side.segment_doubtful;
        add_item(side.doubtful, json_doubtful(side.settings, byte));
    }
}

void side_segment(side_outputs& side, const report_segment& segment) {
    const std::uint64_t bytes = side.offset - side.segment_offset;
    if (!side.split_dir.empty()) {
        if (side.part.stream == nullptr) open_part(side);  // a carrier without bytes
        close_output(side.part);
        side.part = output_file();
    }
    if (!side.json_path.empty()) {
        add_item(side.segments, json_segment(side.settings, segment, side.segment_offset, bytes,
                                             side.segment_doubtful));
    }
    side.segment_offset = side.offset;
    side.segment_doubtful = 0;
}

void finish_side_outputs(side_outputs& side, const report_collector& collector,
                         const std::optional<std::string>& hint,
                         const std::vector<std::string>& warnings) {
    if (side.part.stream != nullptr) close_output(side.part);
    if (side.json_path.empty()) return;
    side.run.bytes = side.offset;
    if (hint) side.run.hint = without_prefix(*hint);
    for (const std::string& warning : warnings)
        side.run.warnings.push_back(without_prefix(warning));
    const text_sink write = [&](std::string_view text) {
        write_output(side.json, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    };
    write_json(
        collector, side.run, [&](const text_sink& out) { copy_items(side.segments, out); },
        [&](const text_sink& out) { copy_items(side.doubtful, out); }, write);
    close_output(side.json);
}
