// The files a run reads (files.h): paths, and the read and write loops over
// the system's calls (host.h).
#include "files.h"
#include "host.h"
#include "words.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool is_separator(char c)
{
    return c != '\0' && std::strchr(host_separators, c) != nullptr;
}

} // namespace

std::string folder_of(const std::string &path)
{
    size_t k = path.size();
    while (k > 0 && !is_separator(path[k - 1]))
        k--;
    return path.substr(0, k);
}

std::string root_directory()
{
    std::string root = host.environment("QUARVELIN_ROOT");
    if (root.empty())
        return std::string("images") + path_separator;
    if (!is_separator(root.back()))
        root += path_separator;
    return root;
}

std::string write_failure(int err)
{
    switch (err) {
    case ENOSPC:
        return "no space left on the disk";
#if defined(EDQUOT)
    case EDQUOT:
        return "the disk quota is used up";
#endif
    case EFBIG:
        return "the file-size limit is reached";
    default:
        return std::strerror(err);
    }
}

InputStatus input_open(const std::string &path, FILE *&f)
{
    f = nullptr;
    bool regular = false;
    const int err = host.open_read(path, f, regular);
    if (err != 0)
        return err == ENAMETOOLONG ? input_too_long : err == ENOENT ? input_absent : input_unreadable;
    return regular ? input_ok : input_not_regular;
}

int64_t file_size(FILE *f)
{
    return host.file_size(f);
}

bool read_at(FILE *f, void *buf, size_t bytes, int64_t offset)
{
    char *p = static_cast<char *>(buf);
    while (bytes > 0) {
        size_t got = 0;
        if (host.read_at(f, p, bytes, offset, got) != 0 || got == 0)
            return false;
        p += got;
        bytes -= got;
        offset += static_cast<int64_t>(got);
    }
    return true;
}

bool write_at(FILE *f, const void *buf, size_t bytes, int64_t offset, int &err)
{
    const char *p = static_cast<const char *>(buf);
    while (bytes > 0) {
        size_t put = 0;
        if (const int e = host.write_at(f, p, bytes, offset, put); e != 0 || put == 0) {
            err = e != 0 ? e : ENOSPC; // nothing written and no error: the disk is full
            return false;
        }
        p += put;
        bytes -= put;
        offset += static_cast<int64_t>(put);
    }
    return true;
}

const char *map_whole(FILE *f, size_t &size)
{
    return host.map(f, size);
}

void unmap_whole(const char *text, size_t size)
{
    host.unmap(text, size);
}

bool map_was_cut()
{
    return host.map_was_cut();
}

FILE *scratch_open(const std::string &beside, std::string &where, int &err)
{
    // Beside the model first, then in the temporary folder.
    const std::string temp = host.temp_folder();
    const std::string folders[2] = {folder_of(beside), temp};
    err = 0;
    for (int k = 0; k < 2; k++) {
        if (k == 1 && temp.empty())
            continue; // the system names no temporary folder
        FILE *f = nullptr;
        if (const int e = host.make_scratch(folders[k], k == 1, f); e != 0) {
            err = e;
            continue;
        }
        where = folders[k];
        return f;
    }
    where = temp;
    return nullptr;
}

std::string input_refusal(InputStatus status, const std::string &path, const char *unknown)
{
    switch (status) {
    case input_ok:
        break;
    case input_absent:
        if (unknown == nullptr)
            break;
        return strf(unknown, path.c_str());
    case input_unreadable:
        return strf(unknown != nullptr ? unknown : "\n\tFile %s could not be read\n", path.c_str());
    case input_too_long:
        return strf("\n\tFile %s: the name is too long for the system\n", path.c_str());
    case input_not_regular:
        return strf("\n\tFile %s is not a regular file\n", path.c_str());
    }
    return "";
}

bool read_text(FILE *f, std::string &text, size_t most)
{
    text.assign(static_cast<size_t>(std::clamp<int64_t>(file_size(f), 0, static_cast<int64_t>(most))), '\0');
    return read_at(f, text.data(), text.size(), 0);
}
