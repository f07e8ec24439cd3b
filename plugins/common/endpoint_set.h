// The endpoints of one board, by name. Any name is valid: an endpoint comes
// into existence the first time it is used and lives as long as the board.
// Endpoints start stopped unless the board was opened with autostart or a
// "commands\start" came before them ("commands\stop" sets that back).
//
//     EndpointSet<MyEndpoint> endpoints(autostart, [](const std::string& name, bool running) {
//         return std::make_unique<MyEndpoint>(name, running);
//     });
//     endpoints.runControl(QueryPath::parse("commands\\start"));
//     endpoints.read("endpoints\\list", 100, &list);
//
// Every method may be called from any thread.
#pragma once

#include "board_access/readout_records.h"
#include "plugins/common/plugin_status.h"
#include "plugins/common/query_path.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace board_plugin {

template <class E>
class EndpointSet {
public:
    using Make = std::function<std::unique_ptr<E>(const std::string& name, bool running)>;

    EndpointSet(bool autostart, Make make) : make_(std::move(make)), newEndpointsRun_(autostart) {}

    // The endpoint of that name; created when `create` is set, else null when it does not exist.
    E* find(const std::string& name, bool create)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = endpoints_.find(name);
        if (found != endpoints_.end())
            return found->second.get();
        if (!create)
            return nullptr;
        std::unique_ptr<E> created = make_(name, newEndpointsRun_);
        E* result = created.get();
        endpoints_.emplace(name, std::move(created));
        return result;
    }

    std::vector<E*> all() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<E*> result;
        result.reserve(endpoints_.size());
        for (const auto& entry : endpoints_)
            result.push_back(entry.second.get());
        return result;
    }

    // Carries out a start, stop or reset of one endpoint or of the whole
    // board; false (and nothing done) for any other query.
    bool runControl(const QueryPath& query)
    {
        if (!query.isRunControl())
            return false;
        if (query.kind == QueryPath::Kind::EndpointCommand) {
            find(query.endpoint, true)->runControl(query.verb);
            return true;
        }
        if (query.verb != "reset") {
            std::lock_guard<std::mutex> lock(mutex_);
            newEndpointsRun_ = query.verb == "start";
        }
        for (E* endpoint : all())
            endpoint->runControl(query.verb);
        return true;
    }

    int32_t read(const char* path, int32_t timeoutMs, readout::DataList* list)
    {
        if (!list)
            return kNullArgument;
        list->entries = nullptr;
        list->count = 0;
        const QueryPath query = QueryPath::parse(path);
        if (query.kind != QueryPath::Kind::Endpoint)
            return kUnknownPath;
        return find(query.endpoint, true)->read(timeoutMs, list);
    }

    int32_t release(const char* path, readout::DataList* list)
    {
        if (!list)
            return kNullArgument;
        const QueryPath query = QueryPath::parse(path);
        if (query.kind != QueryPath::Kind::Endpoint)
            return kUnknownPath;
        E* target = find(query.endpoint, false);
        return target ? target->release(list) : kUnknownBatch;
    }

    // Batches delivered by all endpoints and not yet taken back.
    size_t outstanding() const
    {
        size_t total = 0;
        for (E* endpoint : all())
            total += endpoint->outstanding();
        return total;
    }

private:
    const Make make_;
    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<E>> endpoints_;
    bool newEndpointsRun_;  // guarded by mutex_
};

}  // namespace board_plugin
