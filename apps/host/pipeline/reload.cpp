// The reload: the configuration read again, checked whole, and applied as a difference to the
// running pipeline, by the thread that called Pipeline::run().
#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "apps/common/stop_signal.h"
#include "apps/host/pipeline/pipeline.h"
#include "apps/host/support/utc_time.h"

namespace kavren::host {

namespace {

// The longest the rounds of before a reload may take to be committed; they are held meanwhile.
constexpr auto kFlushWithin = std::chrono::seconds(60);
// What a sink that is restarted has to say goodbye.
constexpr auto kSinkEndsWithin = std::chrono::milliseconds(1500);

// The values of the fields a reload cannot change, put back as the host runs with them.
void keep_fixed(const std::vector<const Field*>& fixed, const HostConfig& running,
                HostConfig& next) {
    for (const Field* f : fixed) {
        if (f->kind != Kind::path && f->kind != Kind::text)
            throw std::logic_error(std::string("a field kept until a restart is not text: ") +
                                   f->key);
        *static_cast<std::string*>(f->at(&next)) =
            *static_cast<const std::string*>(f->at(const_cast<HostConfig*>(&running)));
    }
}

std::string link_key(const LinkConfig& link) {
    return std::to_string(static_cast<int>(link.kind)) + " " + link.describe();
}

bool listed(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

bool same_meters(const std::vector<MeterName>& a, const std::vector<MeterName>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const MeterName& x, const MeterName& y) {
                          return x.name == y.name && x.unit == y.unit && x.link == y.link;
                      });
}

void add_part(std::string& line, const char* what, const std::vector<std::string>& items) {
    if (items.empty()) return;
    line += line.empty() ? "" : "; ";
    line += what;
    for (std::size_t i = 0; i < items.size(); ++i) line += (i == 0 ? " " : ", ") + items[i];
}

std::vector<std::string> paths_of(const std::vector<const Field*>& fields) {
    std::vector<std::string> paths;
    for (const Field* f : fields) paths.push_back(field_path(*f));
    return paths;
}

}  // namespace

void Pipeline::reload() {
    if (app::stop_requested()) return;
    if (!parts_.reread) {
        log_("SIGHUP: this host has no configuration to read again; it goes on as it started");
        return;
    }
    notify_reloading();
    bool whole = false;
    try {
        HostConfig next = parts_.reread();
        whole = apply(std::move(next));
    } catch (const std::exception& e) {
        // As at the start, the message names the file, the link, the meter and the field.
        log_(std::string("reload: not applied, the host runs on as it was: ") + e.what());
    }
    reloads_->last_successful.store(whole);
    if (whole) reloads_->last_success_unix_s.store(system_now_ms() / 1000);
    (whole ? reloads_->successes : reloads_->failures).fetch_add(1);
    notify_reloaded();
}

// What may fail is done before anything running is touched: the file was checked, the driver
// objects of the new and changed meters are made here first, and the rounds of before are
// committed. What fails after that (a gateway's port taken, a sink that cannot start) is logged,
// and the rest applied: false.
bool Pipeline::apply(HostConfig next) {
    const ConfigChanges asked = compare_configs(config(), next);
    log_changes(asked);
    keep_fixed(asked.fixed_until_restart(), config(), next);
    // What is applied: the fields a reload cannot change are left as they run.
    const ConfigChanges changes = compare_configs(config(), next);
    // A link or sink that could not be started before is tried again, even with nothing else
    // to do.
    const bool retry =
        std::any_of(links_.begin(), links_.end(), [](const auto& e) { return !e->poller; }) ||
        std::find(sinks_to_retry_.begin(), sinks_to_retry_.end(), true) != sinks_to_retry_.end();
    if (changes.empty() && !retry) return true;
    std::map<std::string, MeterSlot*> made;
    for (const LinkConfig& link : next.links)
        for (const MeterConfig& meter : link.meters)
            if (listed(changes.meters_added, meter.name) ||
                listed(changes.meters_changed, meter.name))
                made[meter.name] = &make_slot(link, meter);
    // The rounds that come meanwhile are held. A history that takes no commit now (locked by
    // another program, failing) keeps the reload out, as a file that fails would: the rounds of
    // before stay where they wait, and none is lost.
    router_.hold();
    if (!flushed_for_reload()) {
        router_.route_to(commit_.get(), meter_names());
        throw std::runtime_error(app::stop_requested()
                                     ? "a stop was asked for while the history committed"
                                     : "the history " + store_.path() + " took no commit within " +
                                           std::to_string(kFlushWithin.count()) +
                                           " s (locked or failing): send the reload again "
                                           "once it takes rounds");
    }
    const std::vector<MeterName> before = meter_list();
    configs_.push_back(std::make_unique<HostConfig>(std::move(next)));
    plugin_log_.store(config().plugin_log);
    set_poll_timing();
    commit_->finish(std::chrono::steady_clock::now() + kFlushWithin);  // nothing waits in it
    stored_all_earlier_ = stored_all_earlier_ && commit_->stored_all();
    log_("reload: " + commit_->summary());
    for (const std::string& name : changes.meters_removed) current_meters_.erase(name);
    for (const auto& [name, slot] : made) {
        current_meters_[name] = slot;
        // Its first round goes after it: both are held until the new commit stage takes them.
        if (config().restore) restore_last_record(*slot, store_, context_, log_);
    }
    return apply_to_running(changes, before);
}

bool Pipeline::flushed_for_reload() {
    const auto deadline = std::chrono::steady_clock::now() + kFlushWithin;
    while (!app::stop_requested()) {
        const auto now = std::chrono::steady_clock::now();
        if (commit_->flush(std::min(deadline, now + std::chrono::milliseconds(200)))) return true;
        if (now >= deadline) return false;
    }
    return false;
}

// The links, the sinks and a new commit stage, after the one of before ended.
bool Pipeline::apply_to_running(const ConfigChanges& changes,
                                const std::vector<MeterName>& before) {
    std::string failed;
    gateways_replaced_ = false;
    try {
        apply_links(changes);
    } catch (const std::exception& e) {
        failed = e.what();
    }
    restart_sinks(changes, !same_meters(before, meter_list()), failed);
    try {
        commit_ = new_commit_stage();
    } catch (const std::exception& e) {
        // Rounds can no longer be stored: the host stops, and says it did not store them all.
        log_(
            "reload: the history cannot be read, no round is stored from now on and the host "
            "stops: " +
            std::string(e.what()));
        stored_all_earlier_ = false;
        request_stop();
        return false;
    }
    start_commit_stage();
    if (!failed.empty()) log_("reload: applied in part, this failed: " + failed);
    return failed.empty();
}

std::vector<MeterSlot*> Pipeline::slots_for(const LinkConfig& link) const {
    std::vector<MeterSlot*> slots;
    for (const MeterConfig& meter : link.meters) slots.push_back(current_meters_.at(meter.name));
    return slots;
}

bool Pipeline::needs_reopening(const LinkEntry& entry, const ConfigChanges& changes,
                               const std::vector<MeterSlot*>& slots) const {
    const std::string line = entry.config.describe();
    // A gateway's rules know the link's units: they are made again with its meters.
    return listed(changes.links_reopened, line) || listed(changes.gateways_changed, line) ||
           (entry.gateway && slots != entry.meters);
}

// The links in the order of the new configuration: those that stay keep polling and are given
// their meters; a link with new line settings is reopened alone; a new one starts.
void Pipeline::apply_links(const ConfigChanges& changes) {
    std::vector<LinkEntry*> order;
    std::vector<std::unique_ptr<LinkEntry>> added;
    std::string failed;
    for (const LinkConfig& link : config().links) {
        const std::vector<MeterSlot*> slots = slots_for(link);
        const auto found = std::find_if(links_.begin(), links_.end(), [&](const auto& entry) {
            return link_key(entry->config) == link_key(link);
        });
        LinkEntry* entry = found != links_.end() ? found->get() : nullptr;
        if (entry != nullptr && entry->poller && !needs_reopening(*entry, changes, slots)) {
            entry->meters = slots;
            entry->poller->set_meters(slots);
        } else {
            if (entry == nullptr) {
                added.push_back(std::make_unique<LinkEntry>());
                entry = added.back().get();
            }
            try {
                open_link(*entry, link, slots);
            } catch (const std::exception& e) {  // kept, not polled, until the next reload
                failed += (failed.empty() ? "" : "; ") + link.describe() + ": " + e.what();
            }
        }
        order.push_back(entry);
    }
    std::vector<std::unique_ptr<LinkEntry>> gone = arrange_links(order, std::move(added));
    for (auto& entry : gone) end_poller(*entry);
    control_.set_idle_links(static_cast<std::size_t>(std::count_if(
        links_.begin(), links_.end(), [](const auto& entry) { return !entry->poller; })));
    if (app::stop_requested()) stop_links();  // asked for while the new pollers were made
    if (!failed.empty()) throw std::runtime_error(failed);
}

// The link (re)opened with `config`: its poller, if it polls, ends first, then its gateway.
void Pipeline::open_link(LinkEntry& entry, const LinkConfig& config,
                         std::vector<MeterSlot*> slots) {
    end_poller(entry);
    gateways_replaced_ = gateways_replaced_ || entry.gateway || config.gateway.enabled();
    entry.gateway.reset();
    entry.config = config;
    entry.meters = std::move(slots);
    entry.gateway = make_gateway(entry.config);
    if (entry.gateway) entry.gateway->start();
    make_poller(entry);
    start_poller(entry);
}

// links_ becomes `order` (the entries kept and `added`); the entries left out are given back.
std::vector<std::unique_ptr<Pipeline::LinkEntry>> Pipeline::arrange_links(
    const std::vector<LinkEntry*>& order, std::vector<std::unique_ptr<LinkEntry>> added) {
    std::vector<std::unique_ptr<LinkEntry>> all = std::move(added);
    std::lock_guard<std::mutex> hold(stop_lock_);
    for (auto& entry : links_) all.push_back(std::move(entry));
    links_.clear();
    for (LinkEntry* wanted : order) {
        const auto it = std::find_if(all.begin(), all.end(),
                                     [&](const auto& entry) { return entry.get() == wanted; });
        links_.push_back(std::move(*it));
        all.erase(it);
    }
    return all;
}

std::vector<bool> Pipeline::sinks_to_restart(const ConfigChanges& changes,
                                             bool meters_renamed) const {
    const bool top = changes.changed(Section::top);
    // The page's server shows the links' counters and the gateways'.
    const bool links = !changes.links_added.empty() || !changes.links_removed.empty() ||
                       !changes.gateways_changed.empty() || gateways_replaced_;
    std::vector<bool> which(sinks_.size(), false);
    for (std::size_t i = 0; i < sinks_.size(); ++i) {
        if (!sinks_[i]) {  // its maker made none, or failed: it may now
            which[i] = top || meters_renamed || changes.changed(Section::http) ||
                       changes.changed(Section::mqtt) ||
                       (i < sinks_to_retry_.size() && sinks_to_retry_[i]);
            continue;
        }
        const std::string name = sinks_[i]->name();
        which[i] = top || meters_renamed;
        if (name == "mqtt") which[i] = which[i] || changes.changed(Section::mqtt);
        if (name == "http") which[i] = which[i] || links || changes.changed(Section::http);
    }
    return which;
}

// Between two commit stages: the sinks restarted have had every round of before, and the new
// ones read the history before the next stage writes into it. A sink that cannot be made or
// started again is left out (and named in `failed`); the others are not held back by it.
void Pipeline::restart_sinks(const ConfigChanges& changes, bool meters_renamed,
                             std::string& failed) {
    const std::vector<bool> which = sinks_to_restart(changes, meters_renamed);
    const auto deadline = std::chrono::steady_clock::now() + kSinkEndsWithin;
    std::vector<std::string> names(sinks_.size());
    for (std::size_t i = 0; i < sinks_.size(); ++i) {
        if (!which[i] || !sinks_[i]) continue;
        names[i] = sinks_[i]->name();
        sinks_[i]->finish(deadline);
        const std::string part = sinks_[i]->summary();
        if (!part.empty()) log_("reload: " + part);
        if (sinks_[i]->failed()) failed_earlier_.push_back(names[i]);
        sinks_[i].reset();
    }
    sinks_to_retry_.resize(sinks_.size(), false);
    for (std::size_t i = 0; i < sinks_.size(); ++i) {
        if (!which[i]) continue;
        sinks_to_retry_[i] = false;
        std::vector<bool> only(sinks_.size(), false);
        only[i] = true;
        try {
            sinks_[i] = std::move(make_sinks(only)[i]);
            if (sinks_[i]) sinks_[i]->start();
        } catch (const std::exception& e) {
            if (sinks_[i]) names[i] = sinks_[i]->name();
            sinks_[i].reset();
            sinks_to_retry_[i] = true;
            const std::string name = names[i].empty() ? "a sink" : names[i];
            failed_earlier_.push_back(name);
            failed += (failed.empty() ? "" : "; ") + name + ": " + e.what();
        }
    }
}

void Pipeline::log_changes(const ConfigChanges& changes) const {
    if (changes.empty()) {
        log_("reload: the configuration is unchanged");
        return;
    }
    std::string line;
    add_part(line, "links added:", changes.links_added);
    add_part(line, "links removed:", changes.links_removed);
    add_part(line, "links reopened:", changes.links_reopened);
    add_part(line, "gateways changed:", changes.gateways_changed);
    add_part(line, "meters added:", changes.meters_added);
    add_part(line, "meters removed:", changes.meters_removed);
    add_part(line, "meters with new settings:", changes.meters_changed);
    add_part(line, "fields changed:", paths_of(changes.fields_changed));
    log_("reload: " + line);
    std::string fixed;
    add_part(fixed,
             "fields a reload cannot change, kept as the host started (restart it to apply):",
             paths_of(changes.fixed_until_restart()));
    if (!fixed.empty()) log_("reload: " + fixed);
}

}  // namespace kavren::host
