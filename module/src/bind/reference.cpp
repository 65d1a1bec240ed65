#include "bind/reference.hpp"

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>

namespace bind {

std::string_view reference_text(std::string_view key) {
    const auto entries = reference_entries();
    const auto at = std::lower_bound(entries.begin(), entries.end(), key,
                                     [](const ReferenceEntry& e, std::string_view k) { return e.key < k; });
    return at != entries.end() && at->key == key ? at->text : std::string_view{};
}

const char* documented(std::string_view signature, std::string_view key) {
    // Classes are made on first use, possibly by several threads at once.
    static std::mutex lock;
    static std::deque<std::string> texts;
    std::string text(signature);
    text += reference_text(key);
    const std::lock_guard hold(lock);
    return texts.emplace_back(std::move(text)).c_str();
}

const char* document_class(const char* cls, std::span<const PyType_Slot> slots, std::string_view signature) {
    const std::string prefix = std::string(cls) + ".";
    for (const PyType_Slot& slot : slots) {
        if (slot.slot == Py_tp_methods) {
            for (auto* m = static_cast<PyMethodDef*>(slot.pfunc); m->ml_name; ++m)
                m->ml_doc = documented(m->ml_doc ? m->ml_doc : "", prefix + m->ml_name);
        } else if (slot.slot == Py_tp_getset) {
            for (auto* g = static_cast<PyGetSetDef*>(slot.pfunc); g->name; ++g)
                g->doc = documented("", prefix + g->name);
        }
    }
    return documented(signature, cls);
}

} // namespace bind
