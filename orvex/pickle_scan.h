// The check an X payload passes before any unpickler runs it. It plays the
// pickle's opcodes (protocols 0 to 2) on a model of the unpickler's stack,
// marks and memo, in which every object is a node that says what made it,
// and refuses:
// - state (BUILD) set on anything but an instance the payload built itself,
//   and items (APPEND, SETITEM...) put into anything but a list, dict or
//   such an instance: so no pickle can rewrite a class, or any object it
//   merely names;
// - a call whose callable is not a global the payload names;
// - the byte string helpers used for anything but building a byte string;
// - a value deeper than the caller's depth limit (one that contains itself
//   is infinitely deep), or one that, unfolded as a tree, outweighs the
//   caller's bound: sharing lets a few bytes name an exponential tree, which
//   every comparison, hash or pack would then walk in full;
// - what the unpicklers of Python 2 and 3 would read differently: memo keys
//   in two styles or in other than plain digits, extension codes (their
//   cache bypasses the global finder), persistent ids, and truncations.
// Whatever passes is structurally sound for both unpicklers, which then
// still resolve every global through the finder and report value errors.
// The check needs no interpreter: globals are classified by the caller.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace parcel {

// What a global of a payload is; `failed` when the classifier refused it
// (it reports why itself).
enum class GlobalKind { failed, object, byte_string_helper };

struct PickleScanLimits {
    long base;             // parcel offset of the payload's first byte
    int max_depth;         // containers the value may nest
    int weight_per_byte;   // its weight unfolded as a tree, per payload byte
};

struct PickleScanResult {
    enum Outcome { admitted, classifier_failed, malformed, refused, too_deep } outcome;
    std::string message;  // malformed: the fault; refused: the whole message
};

namespace scan_detail {

// What follows each opcode of protocols 0 to 2 (invalid: any other).
enum class Arg : unsigned char { invalid, none, line, two_lines, fixed, counted };

struct OpcodeArg {
    Arg kind;
    unsigned char size;  // bytes of a fixed argument, or of a count
};

inline OpcodeArg opcode_arg(unsigned char op)
{
    switch (op) {
    case '(': case '.': case '0': case '1': case '2': case 'N': case 'R': case 'Q': case 'a':
    case 'b': case 'd': case 'e': case 'l': case 'o': case 's': case 't': case 'u': case ']':
    case '}': case ')': case 0x81: case 0x85: case 0x86: case 0x87: case 0x88: case 0x89:
        return {Arg::none, 0};
    case 'F': case 'I': case 'L': case 'P': case 'S': case 'V': case 'g': case 'p':
        return {Arg::line, 0};
    case 'c': case 'i':
        return {Arg::two_lines, 0};
    case 'K': case 'h': case 'q': case 0x80: case 0x82:
        return {Arg::fixed, 1};
    case 'M': case 0x83:
        return {Arg::fixed, 2};
    case 'J': case 'j': case 'r': case 0x84:
        return {Arg::fixed, 4};
    case 'G':
        return {Arg::fixed, 8};
    case 'U': case 0x8a:
        return {Arg::counted, 1};
    case 'T': case 'X': case 0x8b:
        return {Arg::counted, 4};
    default:
        return {Arg::invalid, 0};
    }
}

inline size_t read_le(const unsigned char* p, int size)
{
    size_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

inline const unsigned char* line_end(const unsigned char* p, size_t n)
{
    return static_cast<const unsigned char*>(std::memchr(p, '\n', n));
}

// Bytes of the argument at `p` (n bytes left), or -1 when they run past the
// end. A count is unsigned here: a negative one, which both unpicklers
// refuse, runs past the end too.
inline long arg_size(OpcodeArg arg, const unsigned char* p, size_t n)
{
    const unsigned char* end;
    switch (arg.kind) {
    case Arg::line:
        end = line_end(p, n);
        return end ? end - p + 1 : -1;
    case Arg::two_lines:
        end = line_end(p, n);
        end = end ? line_end(end + 1, p + n - end - 1) : nullptr;
        return end ? end - p + 1 : -1;
    case Arg::fixed:
        return arg.size <= n ? arg.size : -1;
    case Arg::counted:
        if (arg.size > n || read_le(p, arg.size) > n - arg.size)
            return -1;
        return static_cast<long>(arg.size + read_le(p, arg.size));
    default:
        return 0;
    }
}

// What made a node of the model.
enum class Made : unsigned char { scalar, list, dict, tuple, instance, global, helper, byte_string };

struct Node {
    Made made;
    int64_t weight;   // 1, plus the bytes of a scalar's data
    int64_t below;    // the weights of its children, one level down
    size_t name_at;   // a global's or helper's module line in the payload
};

}  // namespace scan_detail

template <typename Classify>
class PickleScan {
    using Made = scan_detail::Made;
    using Node = scan_detail::Node;

public:
    // `classify(module, module_len, name, name_len)` says what a global is.
    PickleScan(const unsigned char* p, size_t n, const PickleScanLimits& limits, Classify classify)
        : p_(p), n_(n), limits_(limits), classify_(classify),
          max_weight_(static_cast<int64_t>(limits.weight_per_byte) * static_cast<int64_t>(n))
    {
    }

    PickleScanResult run()
    {
        size_t at = 0;
        while (at < n_) {
            unsigned char op = p_[at];
            scan_detail::OpcodeArg arg = scan_detail::opcode_arg(op);
            if (arg.kind == scan_detail::Arg::invalid) {
                fail(PickleScanResult::malformed,
                     format("opcode 0x%02x at %zu is not of pickle protocols 0 to 2", op, at));
                return result_;
            }
            long size = scan_detail::arg_size(arg, p_ + at + 1, n_ - at - 1);
            if (size < 0)
                break;
            if (!step(op, at, p_ + at + 1, static_cast<size_t>(size)))
                return result_;
            if (op == '.')
                return finish(at);
            at += 1 + static_cast<size_t>(size);
        }
        fault(at, "pickle data was truncated");
        return result_;
    }

private:
    // ---- the outcome ----

    bool fail(PickleScanResult::Outcome outcome, std::string message)
    {
        result_ = {outcome, std::move(message)};
        return false;
    }

    template <typename... Args>
    std::string format(const char* format, Args... args)
    {
        char text[200];
        std::snprintf(text, sizeof text, format, args...);
        return text;
    }

    bool fault(size_t at, const std::string& what)
    {
        return fail(PickleScanResult::malformed, format("%s at %zu", what.c_str(), at));
    }

    bool refuse(size_t at, const char* what, const std::string& subject)
    {
        return fail(PickleScanResult::refused,
                    format("X payload at offset %ld %s%s", limits_.base + static_cast<long>(at),
                           what, subject.c_str()));
    }

    // "module.name" as written, or what kind of object a node is.
    std::string describe(uint32_t id) const
    {
        const Node& node = nodes_[id];
        switch (node.made) {
        case Made::global:
        case Made::helper: {
            // Both lines end within the payload: the opcode's argument was sized so.
            const unsigned char* module = p_ + node.name_at;
            const unsigned char* name = scan_detail::line_end(module, n_ - node.name_at) + 1;
            const unsigned char* end = scan_detail::line_end(name, p_ + n_ - name);
            return std::string(module, name - 1) + "." + std::string(name, end);
        }
        case Made::list: return "a list";
        case Made::dict: return "a dict";
        case Made::tuple: return "a tuple";
        case Made::instance: return "an instance";
        case Made::byte_string: return "a byte string";
        default: return "a scalar";
        }
    }

    // ---- the model ----

    uint32_t add(Made made, int64_t weight, size_t name_at = 0)
    {
        nodes_.push_back(Node{made, weight, 0, name_at});
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    bool refuse_helper(size_t at, uint32_t helper)
    {
        return refuse(at, "uses ", describe(helper) + " as a value: it only builds byte strings");
    }

    // A node taken into another: the helpers only ever as a callable.
    bool use(size_t at, uint32_t parent, uint32_t child)
    {
        if (nodes_[child].made == Made::helper)
            return refuse_helper(at, child);
        edges_.emplace_back(parent, child);
        nodes_[parent].below = saturated(nodes_[parent].below, nodes_[child].weight);
        return true;
    }

    // Weights stop just past the bound, so no sum of them overflows.
    int64_t saturated(int64_t a, int64_t b) const { return std::min(max_weight_ + 1, a + b); }

    // Python 3's unpickler reaches nothing below the innermost mark; Python
    // 2's does, and then misreads the mark. Neither way is admitted.
    bool reach(size_t at, size_t count)
    {
        size_t fence = marks_.empty() ? 0 : marks_.back();
        if (stack_.size() >= fence + count)
            return true;
        return fault(at, marks_.empty() ? "unpickling stack underflow" : "unexpected MARK found");
    }

    bool pop(size_t at, uint32_t* out)
    {
        if (!reach(at, 1))
            return false;
        *out = stack_.back();
        stack_.pop_back();
        return true;
    }

    bool top(size_t at, uint32_t* out)
    {
        if (!reach(at, 1))
            return false;
        *out = stack_.back();
        return true;
    }

    // The items above the innermost mark, which is dropped.
    bool pop_mark(size_t at, std::vector<uint32_t>* items)
    {
        if (marks_.empty())
            return fault(at, "could not find MARK");
        items->assign(stack_.begin() + marks_.back(), stack_.end());
        stack_.resize(marks_.back());
        marks_.pop_back();
        return true;
    }

    bool collect(size_t at, Made made, const std::vector<uint32_t>& items)
    {
        uint32_t node = add(made, 1);
        for (uint32_t item : items)
            if (!use(at, node, item))
                return false;
        stack_.push_back(node);
        return true;
    }

    bool small_tuple(size_t at, size_t count)
    {
        if (!reach(at, count))
            return false;
        std::vector<uint32_t> items(stack_.end() - count, stack_.end());
        stack_.resize(stack_.size() - count);
        return collect(at, Made::tuple, items);
    }

    // Python 2 drops the odd item out of a dict's; Python 3 refuses it.
    bool pairs(size_t at, const std::vector<uint32_t>& items)
    {
        return items.size() % 2 == 0 || fault(at, "odd number of items for a dict");
    }

    // Items (APPEND, SETITEM...) go into lists, dicts and built instances.
    bool fill(size_t at, const std::vector<uint32_t>& items)
    {
        uint32_t target = 0;
        if (!top(at, &target))
            return false;
        Made made = nodes_[target].made;
        if (made == Made::helper)
            return refuse_helper(at, target);
        if (made != Made::list && made != Made::dict && made != Made::instance)
            return refuse(at, "sets state on ",
                          describe(target) + ": only lists, dicts and instances it builds take items");
        for (uint32_t item : items)
            if (!use(at, target, item))
                return false;
        return true;
    }

    bool build(size_t at)
    {
        uint32_t state = 0, target = 0;
        if (!pop(at, &state) || !top(at, &target))
            return false;
        if (nodes_[target].made == Made::helper)
            return refuse_helper(at, target);
        if (nodes_[target].made != Made::instance)
            return refuse(at, "sets state on ",
                          describe(target) + ": only instances it builds take state");
        return use(at, target, state);
    }

    // A call of REDUCE, NEWOBJ, INST or OBJ. A byte string helper makes a
    // byte string of scalars, weighed as its arguments and their items;
    // anything else an instance that holds its arguments.
    bool call(size_t at, uint32_t callable, const std::vector<uint32_t>& args, bool as_class)
    {
        Made made = nodes_[callable].made;
        if (made == Made::helper && as_class)
            return refuse_helper(at, callable);
        if (made != Made::helper && made != Made::global)
            return fault(at, "it calls " + describe(callable) + ", which is not a global it names,");
        if (made == Made::global) {
            uint32_t node = add(Made::instance, 1);
            for (uint32_t arg : args)
                if (!use(at, node, arg))
                    return false;
            stack_.push_back(node);
            return true;
        }
        int64_t weight = 1;
        for (uint32_t arg : args) {
            if (nodes_[arg].made == Made::helper)
                return refuse_helper(at, arg);
            weight = saturated(weight, saturated(nodes_[arg].weight, nodes_[arg].below));
        }
        stack_.push_back(add(Made::byte_string, weight));
        return true;
    }

    // INST and OBJ call with the items above their mark, which the callable
    // gets as a tuple, as REDUCE's does: the instance holds them one level
    // down either way.
    bool call_with_items(size_t at, uint32_t callable, const std::vector<uint32_t>& items)
    {
        uint32_t args = 0;
        return collect(at, Made::tuple, items) && pop(at, &args) &&
               call(at, callable, std::vector<uint32_t>{args}, false);
    }

    bool global(const unsigned char* line, size_t size)
    {
        const unsigned char* name = scan_detail::line_end(line, size) + 1;
        size_t module_len = name - 1 - line, name_len = line + size - 1 - name;
        GlobalKind kind = classify_(reinterpret_cast<const char*>(line), module_len,
                                    reinterpret_cast<const char*>(name), name_len);
        if (kind == GlobalKind::failed)
            return fail(PickleScanResult::classifier_failed, std::string());
        callable_ = add(kind == GlobalKind::object ? Made::global : Made::helper, 1,
                        static_cast<size_t>(line - p_));
        return true;
    }

    // ---- the memo ----

    // The slot a PUT or GET names. A text slot must be plain digits: the
    // unpicklers parse other text differently, and Python 2 keeps text slots
    // apart from binary ones, so a payload may use one style only.
    bool memo_slot(size_t at, unsigned char op, const unsigned char* p, size_t size, size_t* slot)
    {
        bool text = op == 'p' || op == 'g';
        int style = text ? 1 : 2;
        if (memo_style_ && memo_style_ != style)
            return fault(at, "memo slots in both text and binary form");
        memo_style_ = style;
        if (!text) {
            *slot = scan_detail::read_le(p, static_cast<int>(size));
        } else {
            size_t digits = size - 1;
            if (digits == 0 || digits > 10 || (p[0] == '0' && digits > 1))
                return fault(at, "memo slot is not plain digits");
            *slot = 0;
            for (size_t i = 0; i < digits; ++i) {
                if (p[i] < '0' || p[i] > '9')
                    return fault(at, "memo slot is not plain digits");
                *slot = *slot * 10 + (p[i] - '0');
            }
        }
        // Python 3's memo is an array grown to the slot named: a pickler
        // numbers slots from 0 or 1, one per PUT, so no slot reaches n.
        if (*slot >= n_)
            return fault(at, "memo slot beyond the payload's length");
        return true;
    }

    bool put(size_t at, unsigned char op, const unsigned char* p, size_t size)
    {
        size_t slot;
        uint32_t value = 0;
        if (!memo_slot(at, op, p, size, &slot) || !top(at, &value))
            return false;
        memo_[slot] = value;
        return true;
    }

    bool get(size_t at, unsigned char op, const unsigned char* p, size_t size)
    {
        size_t slot;
        if (!memo_slot(at, op, p, size, &slot))
            return false;
        auto found = memo_.find(slot);
        if (found == memo_.end())
            return fault(at, "memo slot is empty");
        stack_.push_back(found->second);
        return true;
    }

    // ---- one opcode ----

    bool step(unsigned char op, size_t at, const unsigned char* arg, size_t size)
    {
        std::vector<uint32_t> items;
        uint32_t a = 0, b = 0;
        switch (op) {
        case '(':
            marks_.push_back(stack_.size());
            return true;
        case '.':
            return pop(at, &root_);
        case '0':
            if (!marks_.empty() && marks_.back() == stack_.size()) {
                marks_.pop_back();
                return true;
            }
            return pop(at, &a);
        case '1':
            return pop_mark(at, &items);
        case '2':
            if (!top(at, &a))
                return false;
            stack_.push_back(a);
            return true;
        case ']':
        case '}':
        case ')':
            stack_.push_back(add(op == ']' ? Made::list : op == '}' ? Made::dict : Made::tuple, 1));
            return true;
        case 'l':
        case 't':
            return pop_mark(at, &items) && collect(at, op == 'l' ? Made::list : Made::tuple, items);
        case 'd':
            return pop_mark(at, &items) && pairs(at, items) && collect(at, Made::dict, items);
        case 0x85:
        case 0x86:
        case 0x87:
            return small_tuple(at, op - 0x84);
        case 'a':
            return pop(at, &a) && (items.push_back(a), fill(at, items));
        case 's':
            return pop(at, &a) && pop(at, &b) && (items = {b, a}, fill(at, items));
        case 'e':
            return pop_mark(at, &items) && fill(at, items);
        case 'u':
            return pop_mark(at, &items) && pairs(at, items) && fill(at, items);
        case 'b':
            return build(at);
        case 'c':
            if (!global(arg, size))
                return false;
            stack_.push_back(callable_);
            return true;
        case 'i':
            return global(arg, size) && pop_mark(at, &items) && call_with_items(at, callable_, items);
        case 'o':
            if (!pop_mark(at, &items))
                return false;
            if (items.empty())
                return fault(at, "unpickling stack underflow");
            a = items.front();
            items.erase(items.begin());
            return call_with_items(at, a, items);
        case 'R':
        case 0x81:
            if (!pop(at, &b) || !pop(at, &a))
                return false;
            items.push_back(b);
            return call(at, a, items, op == 0x81);
        case 'p':
        case 'q':
        case 'r':
            return put(at, op, arg, size);
        case 'g':
        case 'h':
        case 'j':
            return get(at, op, arg, size);
        case 0x80:
            if (arg[0] > 2) {
                fail(PickleScanResult::malformed,
                     format("protocol %d at %zu is not one of 0 to 2", arg[0], at));
                return false;
            }
            return true;
        case 0x82:
        case 0x83:
        case 0x84:
            return fault(at, "extension codes are not read");
        case 'P':
        case 'Q':
            return fault(at, "persistent ids are not read");
        default:
            // The scalars: weighed by their data, which is their argument.
            stack_.push_back(add(Made::scalar, 1 + static_cast<int64_t>(size)));
            return true;
        }
    }

    // ---- the value as a tree ----

    struct Visit {
        uint32_t node;
        uint32_t next;  // the node's next edge to follow
    };

    bool has_children(uint32_t id) const { return first_[id] < first_[id + 1]; }

    // The value unfolded, bottom up: each node's weight and height once,
    // from its children's (so a shared node costs one visit). A node met
    // again on its own path is a value that contains itself; a path longer
    // than the depth limit ends the walk at once.
    PickleScanResult finish(size_t at)
    {
        if (nodes_[root_].made == Made::helper) {
            refuse_helper(at, root_);
            return result_;
        }
        index_edges();
        std::vector<unsigned char> state(nodes_.size(), 0);
        std::vector<int64_t> weight(nodes_.size(), 0);
        std::vector<int> height(nodes_.size(), 0);
        std::vector<Visit> path{{root_, first_[root_]}};
        state[root_] = 1;
        while (!path.empty()) {
            Visit& visit = path.back();
            uint32_t node = visit.node;
            if (visit.next < first_[node + 1]) {
                uint32_t child = child_[visit.next++];
                if (state[child] == 1 || (has_children(child) && path.size() >= size_t(limits_.max_depth)))
                    return too_deep();
                if (state[child] == 0) {
                    state[child] = 1;
                    path.push_back(Visit{child, first_[child]});
                }
                continue;
            }
            weight[node] = nodes_[node].weight;
            for (uint32_t e = first_[node]; e < first_[node + 1]; ++e) {
                weight[node] = saturated(weight[node], weight[child_[e]]);
                height[node] = std::max(height[node], height[child_[e]] + 1);
            }
            state[node] = 2;
            path.pop_back();
        }
        if (height[root_] > limits_.max_depth)
            return too_deep();
        if (weight[root_] > max_weight_) {
            refuse(0, "unfolds to more than ",
                   format("%d times its %zu bytes, counting what it shares at every place",
                          limits_.weight_per_byte, n_));
            return result_;
        }
        return {PickleScanResult::admitted, std::string()};
    }

    PickleScanResult too_deep()
    {
        fail(PickleScanResult::too_deep, std::string());
        return result_;
    }

    // Edges grouped by parent: child_[first_[v] .. first_[v + 1]).
    void index_edges()
    {
        first_.assign(nodes_.size() + 1, 0);
        for (auto& edge : edges_)
            ++first_[edge.first + 1];
        for (size_t v = 0; v < nodes_.size(); ++v)
            first_[v + 1] += first_[v];
        child_.resize(edges_.size());
        std::vector<uint32_t> fill_at(first_.begin(), first_.end() - 1);
        for (auto& edge : edges_)
            child_[fill_at[edge.first]++] = edge.second;
    }

    const unsigned char* p_;
    size_t n_;
    PickleScanLimits limits_;
    Classify classify_;
    int64_t max_weight_;
    PickleScanResult result_{PickleScanResult::admitted, std::string()};
    std::vector<Node> nodes_;
    std::vector<std::pair<uint32_t, uint32_t>> edges_;
    std::vector<uint32_t> first_, child_;
    std::vector<uint32_t> stack_;
    std::vector<size_t> marks_;
    std::unordered_map<size_t, uint32_t> memo_;
    int memo_style_ = 0;
    uint32_t callable_ = 0;
    uint32_t root_ = 0;
};

}  // namespace parcel
