// kvistur host: drives Faersla objects from JSON lines on standard input,
// one answer line per request on standard output (docs/host-protocol.md).
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "command.h"
#include "host_objects.h"
#include "json_values.h"
#include "kvistur/faersla.h"

namespace kvistur::host {

namespace {

// A named thread of the host: a real OS thread that runs the jobs given to
// it one at a time, so that every object lives on, and is called on, its
// own thread with that thread's component state.
class Worker {
 public:
  Worker() : thread_([this] { loop(); }) {}
  ~Worker() {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  // Runs `job` on this thread and waits for it.
  void run(std::function<void()> job) {
    std::packaged_task<void()> task(std::move(job));
    auto done = task.get_future();
    {
      std::lock_guard<std::mutex> g(m_);
      jobs_.push_back(std::move(task));
    }
    cv_.notify_one();
    done.get();
  }

 private:
  void loop() {
    for (;;) {
      std::packaged_task<void()> job;
      {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [&] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::packaged_task<void()>> jobs_;
  bool stop_ = false;
  std::thread thread_;
};

// The parameter kinds of the public methods.
enum class P { Text, Long, Int, Var, TextArr, LongArr, IntArr };

struct Param {
  Param(P k) : kind(k) {}
  P kind;
  bool present = true;
  Text t;
  int32_t l = 0;
  int16_t i = 0;
  Variant v;
  SafeArray<Text> ta;
  SafeArray<int32_t> la;
  SafeArray<int16_t> ia;

  json to_json() const {
    if (!present) return json{{"missing", true}};
    switch (kind) {
      case P::Text: return text_to_json(t);
      case P::Long: return l;
      case P::Int: return i;
      case P::Var: return variant_to_json(v);
      case P::TextArr: return array_to_json(ta);
      case P::LongArr: return array_to_json(la);
      case P::IntArr: return array_to_json(ia);
    }
    return nullptr;
  }
};

Param param_from_json(P kind, const json& j) {
  Param p{kind};
  switch (kind) {
    case P::Text: p.t = text_from_json(j); break;
    case P::Long: p.l = long_from_json(j); break;
    case P::Int: p.i = integer_from_json(j); break;
    case P::Var: p.v = variant_from_json(j); break;
    case P::TextArr: p.ta = text_array_from_json(j); break;
    case P::LongArr: p.la = long_array_from_json(j); break;
    case P::IntArr: p.ia = integer_array_from_json(j); break;
  }
  return p;
}

using Params = std::vector<Param>;

struct Method {
  std::vector<P> params;
  std::size_t optional = 0;     // how many trailing parameters may be left out
  bool error_status = false;    // a failure reaches the host as an error
  std::function<json(Faersla&, Params&)> run;
};

const std::map<std::string, Method>& methods() {
  using enum P;
  static const std::map<std::string, Method> m = {
      {"MaxResultCount", {{}, 0, true, [](Faersla& f, Params&) { return json(f.MaxResultCount()); }}},
      {"FormaFyrirPrentun",
       {{Var, LongArr, IntArr, TextArr, TextArr, TextArr}, 0, false,
        [](Faersla& f, Params& a) {
          return json(f.FormaFyrirPrentun(a[0].v, a[1].la, a[2].ia, a[3].ta, a[4].ta, a[5].ta));
        }}},
      {"SaekjaEkkiOrð", {{TextArr}, 0, false, [](Faersla& f, Params& a) { return json(f.SaekjaEkkiOrð(a[0].ta)); }}},
      {"AdfanganumerAFaerslu",
       {{Long, TextArr}, 0, false, [](Faersla& f, Params& a) { return json(f.AdfanganumerAFaerslu(a[0].l, a[1].ta)); }}},
      {"FaerslaFraID",
       {{Var, Var, Var, Var}, 0, false,
        [](Faersla& f, Params& a) { return json(f.FaerslaFraID(a[0].v, a[1].v, a[2].v, a[3].v)); }}},
      {"EfnisordAFaerslu",
       {{Long, TextArr}, 0, false, [](Faersla& f, Params& a) { return json(f.EfnisordAFaerslu(a[0].l, a[1].ta)); }}},
      {"SofnMedFaerslu",
       {{Var, LongArr, TextArr, LongArr}, 0, false,
        [](Faersla& f, Params& a) { return json(f.SofnMedFaerslu(a[0].v, a[1].la, a[2].ta, a[3].la)); }}},
      {"Leita",
       {{Var, Var, Var, TextArr, LongArr, TextArr, TextArr, Long, Int, Var}, 2, false,
        [](Faersla& f, Params& a) {
          return json(f.Leita(a[0].v, a[1].v, a[2].v, a[3].ta, a[4].la, a[5].ta, a[6].ta, a[7].l,
                              a[8].present ? &a[8].i : nullptr, a[9].present ? &a[9].v : nullptr));
        }}},
      {"SkilaRSv", {{Var, Var}, 0, true, [](Faersla& f, Params& a) { return text_to_json(f.SkilaRSv(a[0].v, a[1].v)); }}},
      {"SaekjaHopa",
       {{TextArr, LongArr, TextArr, TextArr}, 0, false,
        [](Faersla& f, Params& a) { return json(f.SaekjaHopa(a[0].ta, a[1].la, a[2].ta, a[3].ta)); }}},
      {"SaekjaSvid",
       {{Long, TextArr, LongArr}, 0, false,
        [](Faersla& f, Params& a) { return json(f.SaekjaSvid(a[0].l, a[1].ta, a[2].la)); }}},
      {"SaekjaSofn",
       {{Long, LongArr, TextArr, TextArr}, 0, false,
        [](Faersla& f, Params& a) { return json(f.SaekjaSofn(a[0].l, a[1].la, a[2].ta, a[3].ta)); }}},
      {"SkilaAN", {{Var}, 0, true, [](Faersla& f, Params& a) { return text_to_json(f.SkilaAN(a[0].v)); }}},
      {"SkilaEN", {{Var}, 0, true, [](Faersla& f, Params& a) { return text_to_json(f.SkilaEN(a[0].v)); }}},
      {"SkilaGF", {{Var}, 0, true, [](Faersla& f, Params& a) { return text_to_json(f.SkilaGF(a[0].v)); }}},
      {"LogOn", {{Text, Text}, 0, false, [](Faersla& f, Params& a) { return json(f.LogOn(a[0].t, a[1].t)); }}},
  };
  return m;
}

json error_json(const Error& e) {
  return json{{"number", e.number()}, {"source", to_utf8(e.source())}, {"description", to_utf8(e.description())}};
}

class Host {
 public:
  Host() {
    set_object_resolver(
        [this](const std::string& name) -> std::shared_ptr<Dispatch> {
          auto it = host_objects_.find(name);
          return it == host_objects_.end() ? nullptr : it->second;
        },
        [this](const std::shared_ptr<Dispatch>& o) -> std::string {
          for (auto& [n, h] : host_objects_)
            if (h.get() == o.get()) return n;
          return std::string();
        });
  }
  ~Host() {
    // Objects still held at end of input are released, each on its thread.
    for (auto& entry : objects_) {
      auto& obj = entry.second;
      Worker& w = worker(obj.thread);
      w.run([&] { obj.faersla.reset(); });
    }
    objects_.clear();
    workers_.clear();
  }

  json handle(const json& req) {
    if (!req.is_object()) throw HostError("a request must be a JSON object");
    if (!req.contains("op") || !req["op"].is_string()) throw HostError("the request has no \"op\"");
    std::string op = req["op"];
    if (op == "new") return op_new(req);
    if (op == "release") return op_release(req);
    if (op == "call") return op_call(req);
    if (op == "object") return op_object(req);
    if (op == "inspect") return op_inspect(req);
    if (op == "eval") return op_eval(req);
    throw HostError("unknown op '" + op + "'");
  }

 private:
  struct Object {
    std::string thread;
    std::unique_ptr<Faersla> faersla;
  };

  static std::string name_field(const json& req, const char* field) {
    if (!req.contains(field) || !req[field].is_string()) throw HostError(std::string("the request needs \"") + field + "\"");
    return req[field].get<std::string>();
  }
  static std::string thread_field(const json& req) {
    if (!req.contains("thread")) return "main";
    if (!req["thread"].is_string()) throw HostError("\"thread\" must be a name");
    return req["thread"].get<std::string>();
  }

  Worker& worker(const std::string& name) {
    auto it = workers_.find(name);
    if (it == workers_.end()) it = workers_.emplace(name, std::make_unique<Worker>()).first;
    return *it->second;
  }

  json op_new(const json& req) {
    std::string name = name_field(req, "obj");
    std::string thread = thread_field(req);
    if (objects_.count(name)) op_release(json{{"obj", name}});
    Object o{thread, nullptr};
    worker(thread).run([&] { o.faersla = std::make_unique<Faersla>(); });
    objects_.emplace(name, std::move(o));
    return json{{"ok", true}};
  }

  json op_release(const json& req) {
    std::string name = name_field(req, "obj");
    auto it = objects_.find(name);
    if (it == objects_.end()) throw HostError("unknown object '" + name + "'");
    worker(it->second.thread).run([&] { it->second.faersla.reset(); });
    objects_.erase(it);
    return json{{"ok", true}};
  }

  json op_call(const json& req) {
    std::string name = name_field(req, "obj");
    auto it = objects_.find(name);
    if (it == objects_.end()) throw HostError("unknown object '" + name + "'");
    std::string mname = name_field(req, "method");
    auto mit = methods().find(mname);
    if (mit == methods().end()) throw HostError("unknown method '" + mname + "'");
    const Method& m = mit->second;
    json args = req.contains("args") ? req["args"] : json::array();
    if (!args.is_array()) throw HostError("\"args\" must be a list");
    if (args.size() > m.params.size())
      throw HostError(mname + " takes " + std::to_string(m.params.size()) + " arguments, not " +
                      std::to_string(args.size()));
    Params params;
    for (std::size_t k = 0; k < m.params.size(); ++k) {
      bool optional = k >= m.params.size() - m.optional;
      bool missing = k >= args.size() || (args[k].is_object() && args[k].contains("missing") && args[k]["missing"] == true);
      if (missing) {
        if (!optional) throw HostError(mname + ": argument " + std::to_string(k + 1) + " is missing");
        Param p{m.params[k]};
        p.present = false;
        params.push_back(std::move(p));
        continue;
      }
      try {
        params.push_back(param_from_json(m.params[k], args[k]));
      } catch (const HostError& e) {
        throw HostError(mname + ": argument " + std::to_string(k + 1) + ": " + e.what());
      }
    }
    json answer;
    worker(it->second.thread).run([&] {
      json out_args = json::array();
      try {
        json result = m.run(*it->second.faersla, params);
        for (auto& p : params) out_args.push_back(p.to_json());
        answer = json{{"ok", true}, {"result", result}, {"args", out_args}};
      } catch (const std::exception& e) {
        // Only the methods without a failure handler of their own get here.
        for (auto& p : params) out_args.push_back(p.to_json());
        answer = json{{"ok", false}, {"error", error_json(error_from_std(e))}, {"args", out_args}};
      }
    });
    return answer;
  }

  json op_object(const json& req) {
    std::string name = name_field(req, "name");
    std::string kind = name_field(req, "kind");
    std::set<std::string> fail;
    if (req.contains("fail")) {
      if (!req["fail"].is_array()) throw HostError("\"fail\" must be a list of member names");
      for (auto& f : req["fail"]) {
        if (!f.is_string()) throw HostError("\"fail\" must be a list of member names");
        fail.insert(f.get<std::string>());
      }
    }
    auto o = make_host_object(kind, std::move(fail));
    if (!o) throw HostError("unknown object kind '" + kind + "' (progress, richtext or plain)");
    host_objects_[name] = o;
    return json{{"ok", true}};
  }

  json op_inspect(const json& req) {
    std::string name = name_field(req, "name");
    auto it = host_objects_.find(name);
    if (it == host_objects_.end()) throw HostError("unknown host object '" + name + "'");
    return json{{"ok", true}, {"object", it->second->state()}};
  }

  json op_eval(const json& req) {
    std::string fn = name_field(req, "fn");
    const EvalFn* f = find_eval(fn);
    if (!f) throw HostError("unknown eval operation '" + fn + "'");
    json args = req.contains("args") ? req["args"] : json::array();
    if (!args.is_array()) throw HostError("\"args\" must be a list");
    json answer;
    std::string host_error;
    worker(thread_field(req)).run([&] {
      try {
        answer = json{{"ok", true}, {"result", (*f)(args)}};
      } catch (const HostError& e) {
        host_error = e.what();
      } catch (const std::exception& e) {
        answer = json{{"ok", false}, {"error", error_json(error_from_std(e))}};
      }
    });
    if (!host_error.empty()) throw HostError(host_error);
    return answer;
  }

  std::map<std::string, std::unique_ptr<Worker>> workers_;
  std::map<std::string, Object> objects_;
  std::map<std::string, std::shared_ptr<HostObject>> host_objects_;
};

}  // namespace

int run_host(std::istream& in, std::ostream& out) {
  Host host;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    json answer;
    json id;
    try {
      json req = json::parse(line);
      if (req.is_object() && req.contains("id")) id = req["id"];
      answer = host.handle(req);
    } catch (const json::parse_error& e) {
      answer = json{{"ok", false}, {"host_error", std::string("bad JSON: ") + e.what()}};
    } catch (const HostError& e) {
      answer = json{{"ok", false}, {"host_error", e.what()}};
    } catch (const std::exception& e) {
      answer = json{{"ok", false}, {"host_error", e.what()}};
    }
    if (!id.is_null()) answer["id"] = id;
    out << answer.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    // A host that cannot be answered is not worth reading on for.
    if (!out.flush()) throw std::runtime_error(std::string("the answers could not be written: ") + std::strerror(errno));
  }
  return 0;
}

}  // namespace kvistur::host

KVISTUR_COMMAND(cmd_host, "host", "host", "drive Faersla objects with JSON lines on stdin/stdout") {
  if (!args.empty()) throw kvistur::cli::UsageError("host takes no arguments");
  std::ios::sync_with_stdio(false);
  return kvistur::host::run_host(std::cin, std::cout);
}
