// A file's stamp through libuv's stat: size, file number, change and
// modification times to the nanosecond.
#include <uv.h>

#include "fastcgi/settings.h"

namespace qg::fastcgi {

std::string file_stamp(const std::string& path) {
    uv_fs_t req;
    const int result = uv_fs_stat(nullptr, &req, path.c_str(), nullptr);
    std::string stamp;
    if (result == 0) {
        const uv_stat_t& st = req.statbuf;
        stamp = std::to_string(st.st_size) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_ctim.tv_sec) +
                "." + std::to_string(st.st_ctim.tv_nsec) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                std::to_string(st.st_mtim.tv_nsec);
    }
    uv_fs_req_cleanup(&req);
    return stamp;
}

}  // namespace qg::fastcgi
