// Writes the source of the exported interface records: one read-only data
// symbol per module, class and function, each a little-endian 4-byte length,
// compact JSON and zero padding to a multiple of 4. Everything comes from
// the tables the module registers: building them here, without an
// interpreter, makes each builder describe its entry.

#include "bind/record.hpp"
#include "lumora.hpp"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bind::record::Expr;
using bind::record::Function;
using Spec = PyType_Spec& (*)();

// Ids and symbol suffixes: 64-bit FNV-1a of a qualified name, so they stay
// the same while the interface does.
std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3u;
    }
    return h;
}

std::string id_of(const std::string& key) { return std::to_string(fnv1a(key)); }

std::string class_name(Spec spec) { return bind::after_last_dot(spec().name); }

std::string class_id(Spec spec) { return id_of("class " + class_name(spec)); }

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json(const Expr& e) {
    switch (e.kind) {
    case Expr::Kind::name:
        return R"({"type":"name","id":)" + quoted(e.text) + "}";
    case Expr::Kind::attribute:
        return R"({"type":"attribute","value":)" + json(e.items[0]) + R"(,"attr":)" + quoted(e.text) + "}";
    case Expr::Kind::id:
        return R"({"type":"id","id":)" + quoted(class_id(e.cls)) + "}";
    case Expr::Kind::subscript:
        return R"({"type":"subscript","value":)" + json(e.items[0]) + R"(,"slice":)" + json(e.items[1]) + "}";
    case Expr::Kind::tuple: {
        std::string out = R"({"type":"tuple","elts":[)";
        for (std::size_t i = 0; i < e.items.size(); ++i)
            out.append(i ? "," : "").append(json(e.items[i]));
        return out + "]}";
    }
    case Expr::Kind::binop:
        return R"({"type":"binop","left":)" + json(e.items[0]) + R"(,"op":)" + quoted(e.text) + R"(,"right":)" +
               json(e.items[1]) + "}";
    case Expr::Kind::constant:
        return R"({"type":"constant","value":)" + quoted(e.text) + "}";
    }
    return {};
}

void classes_in(const Expr& e, std::vector<Spec>& out) {
    if (e.kind == Expr::Kind::id) out.push_back(e.cls);
    for (const Expr& item : e.items)
        classes_in(item, out);
}

std::string json(const Function& f, const std::string& module) {
    std::string args;
    if (!f.receiver.empty()) args += R"("posonlyargs":[{"name":)" + quoted(f.receiver) + "}]";
    // Keyword-only parameters, each with its default, as Python's own
    // syntax tree lists them: "kwonlyargs" with a parallel "kw_defaults".
    std::string positional, keyword_only, defaults;
    for (const auto& p : f.params) {
        std::string& list = p.keyword_only ? keyword_only : positional;
        list += std::string(list.empty() ? "" : ",") + R"({"name":)" + quoted(p.name) + R"(,"annotation":)" +
                json(p.annotation) + "}";
        if (p.keyword_only)
            defaults += std::string(defaults.empty() ? "" : ",") + json(bind::record::constant(p.default_source));
    }
    if (!positional.empty()) args += std::string(args.empty() ? "" : ",") + R"("args":[)" + positional + "]";
    if (!keyword_only.empty()) {
        args += std::string(args.empty() ? "" : ",") + R"("kwonlyargs":[)" + keyword_only + R"(],"kw_defaults":[)" +
                defaults + "]";
    }
    std::string out = R"({"type":"function","name":)" + quoted(f.name) + R"(,"arguments":{)" + args +
                      R"(},"returns":)" + json(f.returns);
    if (!f.decorators.empty()) {
        out += R"(,"decorators":[)";
        for (std::size_t i = 0; i < f.decorators.size(); ++i)
            out.append(i ? "," : "").append(json(f.decorators[i]));
        out += "]";
    }
    if (f.owner) return out + R"(,"parent":)" + quoted(class_id(f.owner)) + "}";
    return out + R"(,"id":)" + quoted(id_of("function " + module + "." + f.name)) + "}";
}

struct Generator {
    std::vector<Function> described;
    // Record key -> JSON; the key also names the symbol.
    std::map<std::string, std::string> records;
    std::vector<Spec> classes;
    std::set<std::string> seen_classes;

    void add(const std::string& key, std::string text) {
        if (!records.emplace(key, std::move(text)).second) throw std::runtime_error("two records for " + key);
    }

    // Building the class's tables describes its members.
    void add_class(Spec spec) {
        if (!seen_classes.insert(class_name(spec)).second) return;
        spec();
        classes.push_back(spec);
    }

    void add_module(const bind::ModuleBody& body) {
        const std::string full = body.def.m_name;
        const std::size_t first = described.size();
        const auto& members = body.members();
        // The module functions described while its table was built.
        std::map<std::string, Function> functions;
        for (std::size_t i = first; i < described.size(); ++i) {
            if (!described[i].owner) functions.emplace(described[i].name, described[i]);
        }
        std::string ids;
        const auto record = bind::Overloaded{
            [&](const bind::ClassMember& c) {
                add_class(c.spec);
                return class_id(c.spec);
            },
            [&](PyMethodDef* function) {
                const auto found = functions.find(function->ml_name);
                if (found == functions.end())
                    throw std::runtime_error(std::string("no record of ") + function->ml_name);
                add("function " + full + "." + found->first, json(found->second, full));
                return id_of("function " + full + "." + found->first);
            },
            [&](const bind::ModuleBody* submodule) {
                add_module(*submodule);
                return id_of("module " + std::string(submodule->def.m_name));
            },
        };
        for (const bind::Member& m : members)
            ids.append(ids.empty() ? "" : ",").append(quoted(std::visit(record, m)));
        add("module " + full, R"({"type":"module","id":)" + quoted(id_of("module " + full)) + R"(,"name":)" +
                                  quoted(bind::after_last_dot(body.def.m_name)) + R"(,"members":[)" + ids +
                                  R"(],"incomplete":false})");
    }

    void run() {
        bind::record::sink = &described;
        add_module(root_module());
        // Classes that are no module's member but appear in annotations (an
        // iterator class) are described too, until nothing new turns up.
        for (std::size_t done = 0; done < described.size(); ++done) {
            std::vector<Spec> referenced;
            classes_in(described[done].returns, referenced);
            for (const auto& p : described[done].params)
                classes_in(p.annotation, referenced);
            for (Spec spec : referenced)
                add_class(spec);
        }
        bind::record::sink = nullptr;
        for (Spec spec : classes) {
            const std::string name = class_name(spec);
            add("class " + name, R"({"type":"class","id":)" + quoted(class_id(spec)) + R"(,"name":)" + quoted(name) +
                                     R"(,"decorators":[{"type":"attribute","value":{"type":"name","id":"typing"},)"
                                     R"("attr":"final"}]})");
        }
        for (const Function& f : described) {
            if (!f.owner) continue;
            std::string key = "member " + class_name(f.owner) + "." + f.name;
            if (!f.role.empty()) key += "." + f.role;
            add(key, json(f, ""));
        }
    }
};

void write_source(std::ostream& out, const std::map<std::string, std::string>& records) {
    out << "// Generated by the record generator from the module's tables; not edited by hand.\n\n";
    std::set<std::uint64_t> suffixes;
    for (const auto& [key, text] : records) {
        const std::uint64_t suffix = fnv1a("record " + key);
        if (!suffixes.insert(suffix).second) throw std::runtime_error("two records share a symbol: " + key);
        const std::uint32_t n = static_cast<std::uint32_t>(text.size());
        std::vector<unsigned char> bytes;
        bytes.reserve(4 + text.size() + 3);
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<unsigned char>(n >> shift));
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.resize((bytes.size() + 3) / 4 * 4, 0);
        out << "// " << key << "\nextern \"C\" __attribute__((visibility(\"default\"))) const unsigned char "
            << "PYO3_INTROSPECTION_1_" << suffix << "[" << bytes.size() << "] = {";
        for (std::size_t i = 0; i < bytes.size(); ++i)
            out << (i ? "," : "") << static_cast<unsigned>(bytes[i]);
        out << "};\n";
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " OUTPUT.cpp\n";
        return 2;
    }
    try {
        Generator g;
        g.run();
        std::ofstream out(argv[1]);
        write_source(out, g.records);
        if (!out) throw std::runtime_error(std::string("cannot write ") + argv[1]);
    } catch (const std::exception& e) {
        std::cerr << argv[0] << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
