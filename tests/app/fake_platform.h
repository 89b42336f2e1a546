// An in-memory work directory and change watch behind the library's platform
// interface, for testing arrivals and claims without a file system: every
// file has an incarnation (a new inode when made anew), the directory keeps
// its own clock (the file server's), and the test counts what was asked.
#pragma once

#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace qga::testing {

struct FakeFile {
    std::string text;
    platform::FileId id;
    std::int64_t modified_s = 0;
};

class FakeDirectory final : public platform::Directory {
public:
    // Shared by the directory handed to the core and the test.
    struct State {
        std::mutex mutex;
        std::map<std::string, FakeFile> files;  // "name" or "claims/name"
        std::int64_t clock_s = 1'700'000'000;  // the file system's clock
        std::uint64_t next_inode = 1;
        bool excludes_writers = false;
        bool listing_keys = false;  // the listing tells size and times (Windows)
        std::map<std::string, int> reads;  // reads per name
        int identifies = 0;
        std::set<std::string> out_of_memory;  // names whose read throws std::bad_alloc
        int list_throws = 0;  // listings left that throw std::bad_alloc
        std::vector<platform::Change> events;

        void put(const std::string& name, std::string text, bool report = true) {
            const std::lock_guard lock(mutex);
            FakeFile& file = files[name];
            const bool fresh = file.id.inode == 0;
            if (fresh) file.id.inode = next_inode++;
            file.text = std::move(text);
            file.id.size = file.text.size();
            file.id.change_ns += 1;
            file.modified_s = clock_s;
            if (report) events.push_back({platform::Change::closed_after_write, name});
        }
        void erase(const std::string& name) {
            const std::lock_guard lock(mutex);
            files.erase(name);
            events.push_back({platform::Change::removed, name});
        }
        bool has(const std::string& name) {
            const std::lock_guard lock(mutex);
            return files.contains(name);
        }
        std::vector<std::string> names_under(const std::string& prefix) {
            const std::lock_guard lock(mutex);
            std::vector<std::string> out;
            for (const auto& [name, file] : files)
                if (name.starts_with(prefix)) out.push_back(name);
            return out;
        }
        int read_count(const std::string& name) {
            const std::lock_guard lock(mutex);
            return reads[name];
        }
    };

    explicit FakeDirectory(State& state) : state_(state) {}

    const std::string& path() const override { return path_; }
    bool reads_exclude_writers() const override { return state_.excludes_writers; }

    platform::ReadStatus read(const std::string& name, std::uint64_t limit, platform::FileText* out,
                              std::string*) override {
        const std::lock_guard lock(state_.mutex);
        ++state_.reads[name];
        if (state_.out_of_memory.contains(name)) throw std::bad_alloc();
        const auto it = state_.files.find(name);
        if (it == state_.files.end()) return platform::ReadStatus::missing;
        out->id = it->second.id;
        if (it->second.text.size() > limit) return platform::ReadStatus::too_large;
        out->text = it->second.text;
        out->modified_s = it->second.modified_s;
        return platform::ReadStatus::ok;
    }

    std::optional<platform::FileId> identify(const std::string& name) override {
        const std::lock_guard lock(state_.mutex);
        ++state_.identifies;
        const auto it = state_.files.find(name);
        if (it == state_.files.end()) return std::nullopt;
        return it->second.id;
    }

    bool list(const std::string& sub, std::vector<platform::Listed>* names, std::string*) override {
        const std::lock_guard lock(state_.mutex);
        if (state_.list_throws > 0) {
            --state_.list_throws;
            throw std::bad_alloc();
        }
        const std::string prefix = sub.empty() ? "" : sub + "/";
        for (const auto& [name, file] : state_.files) {
            if (!name.starts_with(prefix)) continue;
            const std::string rest = name.substr(prefix.size());
            if (rest.find('/') != std::string::npos) continue;
            std::string key;
            if (state_.listing_keys) key = std::to_string(file.id.size) + ":" + std::to_string(file.id.change_ns);
            names->push_back({rest, key});
        }
        return true;
    }

    platform::OpenStatus open_output(const std::string& name, std::unique_ptr<platform::OutputFile>* out,
                                     std::string*) override {
        const std::lock_guard lock(state_.mutex);
        if (!state_.files.contains(name)) return platform::OpenStatus::missing;
        *out = std::make_unique<Output>(state_, name);
        return platform::OpenStatus::ok;
    }

    platform::CreateStatus create_new(const std::string& rel, std::string_view content, platform::FileId* made,
                                      std::string*) override {
        const std::lock_guard lock(state_.mutex);
        if (state_.files.contains(rel)) return platform::CreateStatus::exists;
        FakeFile& file = state_.files[rel];
        file.text = std::string(content);
        file.id = {1, state_.next_inode++, 1, content.size()};
        file.modified_s = state_.clock_s;
        if (made != nullptr) *made = file.id;
        return platform::CreateStatus::created;
    }

    bool remove(const std::string& rel) override {
        const std::lock_guard lock(state_.mutex);
        return state_.files.erase(rel) == 1;
    }

    std::optional<std::int64_t> touch(const std::string& rel) override {
        const std::lock_guard lock(state_.mutex);
        const auto it = state_.files.find(rel);
        if (it == state_.files.end()) return std::nullopt;
        it->second.modified_s = state_.clock_s;
        it->second.id.change_ns += 1;
        return state_.clock_s;
    }

    std::optional<std::int64_t> modified(const std::string& rel) override {
        const std::lock_guard lock(state_.mutex);
        const auto it = state_.files.find(rel);
        if (it == state_.files.end()) return std::nullopt;
        return it->second.modified_s;
    }

    bool make_subdirectory(const std::string&, std::string*) override { return true; }
    void remove_subdirectory_if_empty(const std::string&) override {}

private:
    class Output final : public platform::OutputFile {
    public:
        Output(State& state, std::string name) : state_(state), name_(std::move(name)) {}
        bool write(std::string_view bytes, std::string*) override {
            const std::lock_guard lock(state_.mutex);
            state_.files[name_].text += bytes;
            return true;
        }
        bool empty(std::string*) override {
            const std::lock_guard lock(state_.mutex);
            state_.files[name_].text.clear();
            return true;
        }
        bool close(std::string*) override { return true; }

    private:
        State& state_;
        std::string name_;
    };

    State& state_;
    std::string path_ = "/fake/";
};

// Hands the directory's queued events to the core; never sleeps long.
class FakeWatch final : public platform::Watch {
public:
    FakeWatch(FakeDirectory::State& state, bool reports) : state_(state), reports_(reports) {}
    bool reports_changes() const override { return reports_; }
    void wait(std::chrono::milliseconds limit, std::vector<platform::Change>* changes, bool* overflow) override {
        {
            const std::lock_guard lock(state_.mutex);
            waits.push_back(limit);
        }
        drain(changes, overflow);
    }
    void drain(std::vector<platform::Change>* changes, bool*) override {
        const std::lock_guard lock(state_.mutex);
        if (reports_) changes->insert(changes->end(), state_.events.begin(), state_.events.end());
        state_.events.clear();
    }
    void wake() override {}

    std::vector<std::chrono::milliseconds> waits;  // the limits asked for, in order

private:
    FakeDirectory::State& state_;
    bool reports_;
};

}  // namespace qga::testing
