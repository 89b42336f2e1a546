#include "fastcgi/settings.h"

#include "cycle.h"
#include "platform.h"
#include "texts.h"

namespace qg::fastcgi {
namespace {

constexpr std::int64_t default_poll_ms = 150;

}  // namespace

const Settings& SettingsCache::current() {
    using namespace std::string_view_literals;
    std::string sig = file_stamp(path_);
    if (read_ && sig == signature_ && !sig.empty()) return settings_;

    const auto section = text::settings_section;
    platform::Profile profile(path_);
    Settings s;
    s.work_dir = profile.read_text(section, text::key_path, ""sv);
    if (s.work_dir.empty()) s.work_dir = platform::temp_dir();
    s.log_path = s.work_dir + std::string(text::log_file_name);
    const std::int64_t timeout_setting = profile.read_int(section, text::key_timeout, 0);
    s.poll_ms = poll_interval(profile.read_int(section, text::key_poll_time, default_poll_ms));
    s.prefix = request_prefix(profile.read_text(section, text::key_template, text::default_template));
    const bool first_run = timeout_setting == 0 && !profile.found();
    if (first_run && !written_) {
        written_ = true;  // once per process: a failed write is not tried per request
        profile.write_text(section, text::key_timeout, "50");
        profile.write_text(section, text::key_poll_time, "150");
    }
    s.timeout_ms = decide_timeout(timeout_setting, first_run);

    settings_ = std::move(s);
    read_ = true;
    // After a first run's write the file differs from what was read: the
    // next request reads it again and finds Timeout=50.
    signature_ = first_run ? std::string() : std::move(sig);
    return settings_;
}

}  // namespace qg::fastcgi
