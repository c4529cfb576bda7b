#include "upload_policy_model.h"

#include <algorithm>
#include <iterator>

Folder ReadFolder(const uint8_t* data, size_t size, size_t most) {
    Folder folder;
    while (size > 0 && folder.names.size() < most) {
        size_t length = 0;
        while (length < size && data[length] != 0) {
            ++length;
        }
        const std::string_view name(reinterpret_cast<const char*>(data), length);
        const size_t used = length < size ? length + 1 : length;
        data += used;
        size -= used;
        const int64_t age = size > 0 ? int64_t{data[0]} * 86400000 : 0;
        if (size > 0) {
            ++data;
            --size;
        }
        if (std::find(folder.names.begin(), folder.names.end(), name) == folder.names.end()) {
            folder.names.push_back(name);
            folder.envelopes.push_back({std::string(name), age});
        }
    }
    return folder;
}

PlainQueue::PlainQueue(const Folder& folder) {
    for (std::vector<Aged>& kind : kinds_) {
        kind.reserve(folder.names.size());
    }
    for (size_t i = 0; i < folder.names.size(); ++i) {
        const std::string_view name = folder.names[i];
        if (sentry_lite::IsEnvelopeName(name)) {
            kinds_[sentry_lite::IsSessionEndName(name) ? 1 : 0].push_back(
                {sentry_lite::AgeKey(folder.envelopes[i]), name});
        }
    }
    for (std::vector<Aged>& kind : kinds_) {
        std::sort(kind.begin(), kind.end(),
                  [](const Aged& a, const Aged& b) { return a.key < b.key; });
    }
}

bool PlainQueue::Matches(const sentry_lite::QueuePlan& plan, size_t keep, size_t budget) const {
    using Run = std::vector<const Aged*>;
    const auto by_age = [](const Aged* a, const Aged* b) { return a->key < b->key; };
    // Of each kind, the oldest beyond `keep` and the rest, each merged in age order.
    Run removed[2];
    Run rest[2];
    for (int k = 0; k < 2; ++k) {
        const size_t beyond = kinds_[k].size() > keep ? kinds_[k].size() - keep : 0;
        for (size_t i = 0; i < kinds_[k].size(); ++i) {
            (i < beyond ? removed[k] : rest[k]).push_back(&kinds_[k][i]);
        }
    }
    Run remove;
    std::merge(removed[0].begin(), removed[0].end(), removed[1].begin(), removed[1].end(),
               std::back_inserter(remove), by_age);
    Run send;
    std::merge(rest[0].begin(), rest[0].end(), rest[1].begin(), rest[1].end(),
               std::back_inserter(send), by_age);
    send.resize(std::min(send.size(), budget));
    const auto same = [](const std::vector<std::string>& names, const Run& expected) {
        return std::equal(names.begin(), names.end(), expected.begin(), expected.end(),
                          [](const std::string& name, const Aged* e) { return name == e->name; });
    };
    return same(plan.remove, remove) && same(plan.send, send);
}

bool PlainQueue::IsLastRunsCrash(const std::optional<std::string>& first) const {
    const std::vector<Aged>& reports = kinds_[0];
    const auto untried = std::find_if(reports.rbegin(), reports.rend(), [](const Aged& report) {
        return sentry_lite::FailedStarts(report.name) == 0;
    });
    if (untried == reports.rend()) {
        return !first.has_value();
    }
    return first.has_value() && *first == untried->name;
}
