// The X payload scan on its own, with a registry of its own: each opcode's
// effect on the model as the unpicklers would have it, the depth and weight
// bounds, what no pickler writes, and real pickles that must pass.
#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "orvex/pickle_scan.h"

using namespace std::string_literals;

namespace {

using parcel::GlobalKind;
using parcel::PickleScanLimits;
using parcel::PickleScanResult;
using Outcome = PickleScanResult::Outcome;

constexpr Outcome admitted = PickleScanResult::admitted;
constexpr Outcome classifier_failed = PickleScanResult::classifier_failed;
constexpr Outcome malformed = PickleScanResult::malformed;
constexpr Outcome refused = PickleScanResult::refused;
constexpr Outcome too_deep = PickleScanResult::too_deep;

// What unpack admits for an X payload at offset 1000 outside any container.
constexpr PickleScanLimits unpack_limits{1000, 500, 64};

// unpack's registry in small: two classes and what pickles rebuild
// instances with, the two byte string stand-ins, and nothing else.
struct Registry {
    std::vector<std::string>* seen = nullptr;  // each global asked about, "module\nname"

    GlobalKind operator()(const char* module, size_t module_len, const char* name,
                          size_t name_len) const
    {
        std::string global = std::string(module, module_len) + "\n" + std::string(name, name_len);
        if (seen)
            seen->push_back(global);
        if (global == "_codecs\nencode" || global == "__builtin__\nbytes")
            return GlobalKind::byte_string_helper;
        if (global == "__main__\nAccount" || global == "__main__\nLedger" ||
            global == "copy_reg\n_reconstructor" || global == "__builtin__\nobject")
            return GlobalKind::object;
        return GlobalKind::failed;
    }
};

PickleScanResult scan(const std::string& payload, PickleScanLimits limits = unpack_limits,
                      Registry registry = {})
{
    const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
    return parcel::PickleScan<Registry>(p, payload.size(), limits, registry).run();
}

std::string name_of(Outcome outcome)
{
    static const char* const names[] = {"admitted", "classifier_failed", "malformed", "refused",
                                        "too_deep"};
    return names[outcome];
}

// The scan ends with `outcome` and a message that holds `message`; it never
// throws (unpack catches only bad_alloc).
void expect_scan(const std::string& payload, Outcome outcome, const std::string& message = "",
                 PickleScanLimits limits = unpack_limits)
{
    PickleScanResult result;
    try {
        result = scan(payload, limits);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "the scan threw " << error.what();
        return;
    }
    EXPECT_EQ(name_of(result.outcome), name_of(outcome));
    EXPECT_NE(result.message.find(message), std::string::npos) << result.message;
    if (outcome == admitted) {
        EXPECT_EQ(result.message, "");
    }
}

struct Case {
    const char* what;
    std::string payload;
    Outcome outcome;
    const char* message;  // a part of the scan's message
};

void expect_cases(const std::vector<Case>& cases, PickleScanLimits limits = unpack_limits)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expect_scan(c.payload, c.outcome, c.message, limits);
    }
}

// What CPython's picklers write at protocols 0 to 2, for values and classes
// unpack admits.
const std::vector<Case>& cpython_pickles()
{
    static const std::vector<Case> pickles = {
        {"Python 2 cPickle, protocol 0: nested values",
         "(lp1\nI1\na(lp2\nI2\na(lp3\nI3\na(V\xe9\nNtp4\naaa(dp5\n"
         "S'k'\n(F1.5\nI01\ntp6\nsaL1180591620717411303424L\naS'str'\n"
         "p7\na."s, admitted, ""},
        {"Python 2 cPickle, protocol 0: a shared list",
         "(lp1\n(lp2\nVx\naag2\na(g2\ntp3\na."s, admitted, ""},
        {"Python 2 cPickle, protocol 0: instances",
         "(lp1\nccopy_reg\n_reconstructor\np2\n(c__main__\nAccount\n"
         "p3\nc__builtin__\nobject\np4\nNtRp5\n(dp6\nS'balance'\n"
         "p7\nI10\nsS'name'\np8\nVbob\np9\nsba(i__main__\nLedger\n"
         "p10\n(dp11\nS'rows'\np12\n(lp13\nI1\naI2\nasba(dp14\n"
         "Va\ng5\nsa."s, admitted, ""},
        {"Python 2 cPickle, protocol 1: nested values",
         "]q\x01(K\x01]q\x02(K\x02]q\x03(K\x03(X\x02\x00\x00\x00\xc3\xa9Ntq\x04" "ee}q\x05U\x01k"
         "(G?\xf8\x00\x00\x00\x00\x00\x00I01\ntsL1180591620717411303424L\n"
         "U\x03strq\x06" "e."s, admitted, ""},
        {"Python 2 cPickle, protocol 1: a shared list",
         "]q\x01(]q\x02X\x01\x00\x00\x00xah\x02(h\x02tq\x03" "e."s, admitted, ""},
        {"Python 2 cPickle, protocol 1: instances",
         "]q\x01(ccopy_reg\n_reconstructor\nq\x02(c__main__\nAccount\n"
         "q\x03" "c__builtin__\nobject\nq\x04NtRq\x05}q\x06(U\x07" "balanceq\x07K\n"
         "U\x04nameq\x08X\x03\x00\x00\x00" "bobq\x09ub(c__main__\n"
         "Ledger\nq\noq\x0b}q\x0cU\x04rowsq\x0d]q\x0e(K\x01K\x02" "esb}q\x0fX\x01\x00\x00\x00"
         "ah\x05se."s, admitted, ""},
        {"Python 2 cPickle, protocol 2: nested values",
         "\x80\x02]q\x01(K\x01]q\x02(K\x02]q\x03(K\x03X\x02\x00\x00\x00\xc3\xa9N\x86q\x04" "ee}q"
         "\x05U\x01kG?\xf8\x00\x00\x00\x00\x00\x00\x88\x86s\x8a\x09\x00\x00\x00\x00\x00\x00\x00"
         "\x00@U\x03strq\x06" "e."s, admitted, ""},
        {"Python 2 cPickle, protocol 2: a shared list",
         "\x80\x02]q\x01(]q\x02X\x01\x00\x00\x00xah\x02h\x02\x85q\x03" "e."s, admitted, ""},
        {"Python 2 cPickle, protocol 2: instances",
         "\x80\x02]q\x01(c__main__\nAccount\nq\x02)\x81q\x03}q\x04(U\x07" "balanceq\x05K\n"
         "U\x04nameq\x06X\x03\x00\x00\x00" "bobq\x07ub(c__main__\n"
         "Ledger\nq\x08oq\x09}q\nU\x04rowsq\x0b]q\x0c(K\x01K\x02" "esb}q\x0dX\x01\x00\x00\x00"
         "ah\x03se."s, admitted, ""},
        {"Python 2 pickle, protocol 0: instances",
         "(lp0\nccopy_reg\n_reconstructor\np1\n(c__main__\nAccount\n"
         "p2\nc__builtin__\nobject\np3\nNtp4\nRp5\n(dp6\nS'balance'\n"
         "p7\nI10\nsS'name'\np8\nVbob\np9\nsba(i__main__\nLedger\n"
         "p10\n(dp11\nS'rows'\np12\n(lp13\nI1\naI2\nasba(dp14\n"
         "Va\np15\ng5\nsa."s, admitted, ""},
        {"Python 2 pickle, protocol 2: instances",
         "\x80\x02]q\x00(c__main__\nAccount\nq\x01)\x81q\x02}q\x03(U\x07" "balanceq\x04K\n"
         "U\x04nameq\x05X\x03\x00\x00\x00" "bobq\x06ub(c__main__\n"
         "Ledger\nq\x07oq\x08}q\x09U\x04rowsq\n]q\x0b(K\x01K\x02" "esb}q\x0cX\x01\x00\x00\x00"
         "aq\x0dh\x02se."s, admitted, ""},
        {"Python 3, protocol 0: nested values",
         "(lp0\nI1\na(lp1\nI2\na(lp2\nI3\na(V\xe9\np3\nNtp4\naaa(dp5\n"
         "Vk\np6\n(F1.5\nI01\ntp7\nsaL1180591620717411303424L\n"
         "a."s, admitted, ""},
        {"Python 3, protocol 0: a shared list",
         "(lp0\n(lp1\nVx\np2\naag1\na(g1\ntp3\na."s, admitted, ""},
        {"Python 3, protocol 0: byte strings and an instance",
         "(lp0\nc_codecs\nencode\np1\n(Vab\xff\np2\nVlatin1\np3\n"
         "tp4\nRp5\nac__builtin__\nbytes\np6\n(tRp7\naccopy_reg\n"
         "_reconstructor\np8\n(c__main__\nAccount\np9\nc__builtin__\n"
         "object\np10\nNtp11\nRp12\n(dp13\nVname\np14\nVbob\np15\n"
         "sVdata\np16\ng1\n(V\\u0000\x01\np17\ng3\ntp18\nRp19\n"
         "sba."s, admitted, ""},
        {"Python 3, protocol 1: nested values",
         "]q\x00(K\x01]q\x01(K\x02]q\x02(K\x03(X\x02\x00\x00\x00\xc3\xa9q\x03Ntq\x04" "ee}q\x05X"
         "\x01\x00\x00\x00kq\x06(G?\xf8\x00\x00\x00\x00\x00\x00I01\n"
         "tq\x07sL1180591620717411303424L\ne."s, admitted, ""},
        {"Python 3, protocol 1: a shared list",
         "]q\x00(]q\x01X\x01\x00\x00\x00xq\x02" "ah\x01(h\x01tq\x03" "e."s, admitted, ""},
        {"Python 3, protocol 1: byte strings and an instance",
         "]q\x00(c_codecs\nencode\nq\x01(X\x04\x00\x00\x00" "ab\xc3\xbfq\x02X\x06\x00\x00\x00lat"
         "in1q\x03tq\x04Rq\x05" "c__builtin__\nbytes\nq\x06)Rq\x07" "ccopy_reg\n"
         "_reconstructor\nq\x08(c__main__\nAccount\nq\x09" "c__builtin__\n"
         "object\nq\nNtq\x0bRq\x0c}q\x0d(X\x04\x00\x00\x00nameq\x0eX\x03\x00\x00\x00" "bobq\x0fX"
         "\x04\x00\x00\x00" "dataq\x10h\x01(X\x02\x00\x00\x00\x00\x01q\x11h\x03tq\x12Rq\x13ube."s,
         admitted, ""},
        {"Python 3, protocol 2: nested values",
         "\x80\x02]q\x00(K\x01]q\x01(K\x02]q\x02(K\x03X\x02\x00\x00\x00\xc3\xa9q\x03N\x86q\x04"
         "ee}q\x05X\x01\x00\x00\x00kq\x06G?\xf8\x00\x00\x00\x00\x00\x00\x88\x86q\x07s\x8a\x09"
         "\x00\x00\x00\x00\x00\x00\x00\x00@e."s, admitted, ""},
        {"Python 3, protocol 2: a shared list",
         "\x80\x02]q\x00(]q\x01X\x01\x00\x00\x00xq\x02" "ah\x01h\x01\x85q\x03" "e."s, admitted, ""},
        {"Python 3, protocol 2: byte strings and an instance",
         "\x80\x02]q\x00(c_codecs\nencode\nq\x01X\x04\x00\x00\x00" "ab\xc3\xbfq\x02X\x06\x00\x00"
         "\x00latin1q\x03\x86q\x04Rq\x05" "c__builtin__\nbytes\n"
         "q\x06)Rq\x07" "c__main__\nAccount\nq\x08)\x81q\x09}q\n"
         "(X\x04\x00\x00\x00nameq\x0bX\x03\x00\x00\x00" "bobq\x0cX\x04\x00\x00\x00" "dataq\x0dh"
         "\x01X\x02\x00\x00\x00\x00\x01q\x0eh\x03\x86q\x0fRq\x10ube."s, admitted, ""},
    };
    return pickles;
}

// BINPUT, or LONG_BINPUT past 255, as CPython's pickler writes them.
std::string put(int slot)
{
    if (slot < 256)
        return "q"s + static_cast<char>(slot);
    std::string out = "r";
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((slot >> (8 * i)) & 0xff);
    return out;
}

// `levels` lists, each inside the one before, around `leaf`: nested
// `levels` deep.
std::string nested_lists(int levels, const std::string& leaf)
{
    std::string out = "\x80\x02";
    for (int i = 0; i < levels; ++i)
        out += "]" + put(i);
    out += leaf;
    out.append(static_cast<size_t>(levels), 'a');
    return out + ".";
}

// x = [x, x, ...] (`refs` references) `rounds` times over: 6 + (2 * refs + 5)
// * rounds bytes that unfold to more than refs**rounds lists.
std::string bomb(int rounds, int refs)
{
    std::string out = "\x80\x02]q\x00"s;
    for (int i = 0; i < rounds; ++i) {
        out += "](";
        for (int r = 0; r < refs; ++r)
            out += "h\x00"s;
        out += "eq\x00"s;
    }
    return out + ".";
}

// The bomb's value weighed as a tree, 1 for each list; past `cap` it stops
// counting.
int64_t bomb_weight(int rounds, int refs, int64_t cap)
{
    int64_t weight = 1;
    for (int i = 0; i < rounds && weight <= cap; ++i)
        weight = 1 + refs * weight;
    return weight;
}

// BINUNICODE of `size` (below 256) bytes of text.
std::string text(size_t size)
{
    return "X"s + static_cast<char>(size) + "\x00\x00\x00"s + std::string(size, 'y');
}

// A list of `refs` references to `value`, which is memoized once.
std::string shared_in_list(const std::string& value, int refs)
{
    std::string out = "](" + value + "q\x00"s;
    for (int r = 1; r < refs; ++r)
        out += "h\x00"s;
    return out + "e.";
}

TEST(PickleScan, AdmitsWhatCPythonPicklersWrite)
{
    expect_cases(cpython_pickles());
    // They share little: even one unit of weight per byte admits them.
    expect_cases(cpython_pickles(), {0, 500, 1});
}

TEST(PickleScan, SetsStateOnlyOnInstancesItBuilds)
{
    expect_cases({
        // Python 2's unpickler would update the class's own __dict__.
        {"BUILD on a global", "c__main__\nAccount\n}b."s, refused,
         "X payload at offset 1019 sets state on __main__.Account: only instances it builds take "
         "state"},
        {"BUILD on a global from the memo", "c__main__\nAccount\nq\x00" "0h\x00}b."s, refused,
         "sets state on __main__.Account"},
        {"BUILD on a global from the text memo", "c__main__\nAccount\np0\n0g0\n}b."s, refused,
         "sets state on __main__.Account"},
        {"BUILD on a global from the long memo",
         "c__main__\nAccount\nr\x00\x00\x00\x00" "0j\x00\x00\x00\x00}b."s, refused,
         "sets state on __main__.Account"},
        // Calling one copy of a global makes an instance, not of the other.
        {"BUILD on a global whose DUP was called", "c__main__\nAccount\n2)R0}b."s, refused,
         "sets state on __main__.Account"},
        {"BUILD on a global from the memo, called before",
         "c__main__\nAccount\nq\x00)R0h\x00}b."s, refused, "sets state on __main__.Account"},
        // Python 2's BUILD ignores marks and hits what is below; Python 3's
        // refuses to reach below one.
        {"BUILD on a global below a mark", "c__main__\nAccount\n(}b."s, malformed,
         "unexpected MARK found"},
        {"BUILD on a list", "]}b."s, refused, "sets state on a list: only instances"},
        {"BUILD on a dict", "}}b."s, refused, "sets state on a dict"},
        {"BUILD on a tuple", ")}b."s, refused, "sets state on a tuple"},
        {"BUILD on a scalar", "N}b."s, refused, "sets state on a scalar"},
        {"BUILD on a helper", "c_codecs\nencode\n}b."s, refused,
         "uses _codecs.encode as a value"},
        {"BUILD on a byte string", "c__builtin__\nbytes\n)R}b."s, refused,
         "sets state on a byte string"},
        {"BUILD with a helper as the state", "c__main__\nAccount\n)Rc_codecs\nencode\nb."s,
         refused, "uses _codecs.encode as a value"},
        {"BUILD with no target", "}b."s, malformed, "unpickling stack underflow"},
        {"BUILD on an instance by REDUCE", "c__main__\nAccount\n)R}b."s, admitted, ""},
        {"BUILD on an instance by NEWOBJ", "c__main__\nAccount\n)\x81}b."s, admitted, ""},
        {"BUILD on an instance by INST", "(i__main__\nAccount\n}b."s, admitted, ""},
        {"BUILD on an instance by OBJ", "(c__main__\nAccount\no}b."s, admitted, ""},
        {"BUILD on an instance from the memo", "c__main__\nAccount\n)Rq\x00" "0h\x00}b."s,
         admitted, ""},
        {"BUILD on an instance and its DUP", "c__main__\nAccount\n)R2}b0}b."s, admitted, ""},
    });
}

TEST(PickleScan, PutsItemsOnlyIntoWhatItBuilds)
{
    expect_cases({
        {"APPEND into a global", "c__main__\nAccount\nNa."s, refused,
         "X payload at offset 1019 sets state on __main__.Account: only lists, dicts and "
         "instances it builds take items"},
        {"APPENDS into a global", "c__main__\nAccount\n(Ne."s, refused,
         "sets state on __main__.Account"},
        {"SETITEM into a global", "c__main__\nAccount\nNNs."s, refused,
         "sets state on __main__.Account"},
        {"SETITEMS into a global", "c__main__\nAccount\n(NNu."s, refused,
         "sets state on __main__.Account"},
        // Python 2's APPEND ignores marks too.
        {"APPEND into a global below a mark", "c__main__\nAccount\n(Na."s, malformed,
         "unexpected MARK found"},
        {"SETITEM into a global from the memo", "c__main__\nAccount\nq\x00" "0h\x00NNs."s,
         refused, "sets state on __main__.Account"},
        {"APPEND into a tuple", ")Na."s, refused, "sets state on a tuple"},
        {"APPEND into a scalar", "NNa."s, refused, "sets state on a scalar"},
        {"APPEND into a helper", "c_codecs\nencode\nNa."s, refused,
         "uses _codecs.encode as a value"},
        {"APPEND into a byte string", "c__builtin__\nbytes\n)RNa."s, refused,
         "sets state on a byte string"},
        {"APPEND with nothing to append to", "]a."s, malformed, "unpickling stack underflow"},
        {"SETITEM with one item", "}Ns."s, malformed, "unpickling stack underflow"},
        {"APPENDS with nothing to append to", "(e."s, malformed, "unpickling stack underflow"},
        {"APPENDS without a mark", "]Ne."s, malformed, "could not find MARK"},
        {"APPEND into a list", "]Na."s, admitted, ""},
        {"APPENDS into a list", "](NNe."s, admitted, ""},
        {"APPENDS of nothing into a list", "](e."s, admitted, ""},
        {"APPEND into a list by LIST", "(lNa."s, admitted, ""},
        {"APPEND into a list from the memo", "]q\x00" "0h\x00Na."s, admitted, ""},
        {"SETITEM into a dict", "}NNs."s, admitted, ""},
        {"SETITEMS into a dict by DICT", "(d(NNNNu."s, admitted, ""},
        {"APPEND into an instance", "c__main__\nAccount\n)RNa."s, admitted, ""},
        {"SETITEMS into an instance", "c__main__\nAccount\n)\x81(NNu."s, admitted, ""},
    });
}

TEST(PickleScan, CallsOnlyGlobalsItNames)
{
    expect_cases({
        {"REDUCE on a list", "])R."s, malformed,
         "it calls a list, which is not a global it names, at 2"},
        {"REDUCE on an instance", "c__main__\nAccount\n)R)R."s, malformed,
         "it calls an instance"},
        {"NEWOBJ on a scalar", "N)\x81."s, malformed, "it calls a scalar"},
        {"OBJ on a tuple", "()o."s, malformed, "it calls a tuple"},
        {"OBJ on a byte string", "(c__builtin__\nbytes\n)Ro."s, malformed,
         "it calls a byte string"},
        {"OBJ with an empty mark", "(o."s, malformed, "unpickling stack underflow"},
        {"OBJ without a mark", "c__main__\nAccount\no."s, malformed, "could not find MARK"},
        {"INST without a mark", "i__main__\nAccount\n."s, malformed, "could not find MARK"},
        {"REDUCE with only a callable", "c__main__\nAccount\nR."s, malformed,
         "unpickling stack underflow"},
        {"NEWOBJ on a helper", "c__builtin__\nbytes\n)\x81."s, refused,
         "uses __builtin__.bytes as a value"},
        {"REDUCE on a global from the memo", "c__main__\nAccount\nq\x00" "0h\x00)R."s, admitted,
         ""},
        {"OBJ with arguments", "(c__main__\nAccount\nNNo."s, admitted, ""},
        {"INST with arguments", "(NNi__main__\nAccount\n."s, admitted, ""},
    });
}

TEST(PickleScan, UsesHelpersOnlyToBuildByteStrings)
{
    const std::string latin1 = "X\x06\x00\x00\x00latin1"s;
    const std::string abc = "X\x03\x00\x00\x00" "abc"s;
    expect_cases({
        {"a helper returned", "c_codecs\nencode\n."s, refused,
         "X payload at offset 1016 uses _codecs.encode as a value: it only builds byte strings"},
        {"a helper returned from the memo", "c__builtin__\nbytes\nq\x00" "0h\x00."s, refused,
         "uses __builtin__.bytes as a value"},
        {"a helper in a list", "]c_codecs\nencode\na."s, refused,
         "uses _codecs.encode as a value"},
        {"a helper in a list by LIST", "(c_codecs\nencode\nl."s, refused,
         "uses _codecs.encode as a value"},
        {"a helper in a tuple", "c_codecs\nencode\n\x85."s, refused,
         "uses _codecs.encode as a value"},
        {"a helper as a dict key", "}c_codecs\nencode\nNs."s, refused,
         "uses _codecs.encode as a value"},
        {"a helper as an argument of REDUCE", "c__main__\nAccount\nc__builtin__\nbytes\n\x85R."s,
         refused, "uses __builtin__.bytes as a value"},
        {"a helper as an argument of INST", "(c__builtin__\nbytes\ni__main__\nAccount\n."s,
         refused, "uses __builtin__.bytes as a value"},
        {"a helper as an argument of OBJ", "(c__main__\nAccount\nc__builtin__\nbytes\no."s,
         refused, "uses __builtin__.bytes as a value"},
        {"a helper as an argument of a helper",
         "c_codecs\nencode\n(c__builtin__\nbytes\n" + latin1 + "tR.", refused,
         "uses __builtin__.bytes as a value"},
        {"encode of text and a codec", "c_codecs\nencode\n" + abc + latin1 + "\x86R.", admitted,
         ""},
        {"encode from the memo", "c_codecs\nencode\nq\x00" "0h\x00"s + abc + latin1 + "\x86R.",
         admitted, ""},
        {"bytes of nothing", "c__builtin__\nbytes\n)R."s, admitted, ""},
        {"a byte string in a list", "](c__builtin__\nbytes\n)Re."s, admitted, ""},
        {"a byte string as state", "c__main__\nAccount\n)Rc__builtin__\nbytes\n)Rb."s,
         admitted, ""},
        {"a byte string as an argument", "c__main__\nAccount\nc__builtin__\nbytes\n)R\x85R."s,
         admitted, ""},
    });
}

TEST(PickleScan, ReadsMemoSlotsBothUnpicklersReadAlike)
{
    expect_cases({
        // Python 2 keeps text slots apart from binary ones; Python 3 does not.
        {"a text GET after a binary PUT", "]q\x00g0\n."s, malformed,
         "memo slots in both text and binary form"},
        {"a binary GET after a text PUT", "]p0\nh\x00."s, malformed,
         "memo slots in both text and binary form"},
        {"text and binary PUTs", "]p0\nq\x01."s, malformed,
         "memo slots in both text and binary form"},
        // Python 2 keys the memo by the text, Python 3 by the number it reads.
        {"a text slot with a plus sign", "]p+1\n."s, malformed, "memo slot is not plain digits"},
        {"a text slot with a minus sign", "]p-1\n."s, malformed, "memo slot is not plain digits"},
        {"a text slot with a leading zero", "]p01\n."s, malformed,
         "memo slot is not plain digits"},
        {"a text slot after a space", "]p 1\n."s, malformed, "memo slot is not plain digits"},
        {"a text slot before a space", "]p1 \n."s, malformed, "memo slot is not plain digits"},
        {"a text slot before a carriage return", "]p1\r\n."s, malformed,
         "memo slot is not plain digits"},
        {"an empty text slot", "]p\n."s, malformed, "memo slot is not plain digits"},
        {"a text GET with a sign", "]p1\n0g+1\n."s, malformed, "memo slot is not plain digits"},
        {"a text slot of eleven digits", "]p10000000000\n."s, malformed, "memo slot"},
        {"text slot 0", "]p0\n0g0\n."s, admitted, ""},
        // Python 3 grows its memo to the slot named.
        {"a slot one below the length", "]q\x03."s, admitted, ""},
        {"a slot at the length", "]q\x04."s, malformed, "memo slot beyond the payload's length"},
        {"a text slot one below the length", "]p4\n."s, admitted, ""},
        {"a text slot at the length", "]p5\n."s, malformed,
         "memo slot beyond the payload's length"},
        {"a long slot far beyond", "]r\xff\xff\xff\xff."s, malformed,
         "memo slot beyond the payload's length"},
        {"a GET of an empty slot", "]q\x00h\x01."s, malformed, "memo slot is empty"},
        {"a GET before any PUT", "g0\n."s, malformed, "memo slot is empty"},
        {"a PUT of nothing", "q\x00."s, malformed, "unpickling stack underflow"},
        {"a slot put again, with an instance", "c__main__\nAccount\nq\x00)Rq\x00h\x00}b."s,
         admitted, ""},
        {"a slot put again, with a global",
         "c__main__\nAccount\n)Rq\x00" "c__main__\nAccount\nq\x00h\x00}b."s, refused,
         "sets state on __main__.Account"},
    });
}

TEST(PickleScan, PopsAndMarksAsTheUnpicklersDo)
{
    expect_cases({
        // A POP with a mark on top drops the mark, not the instance below.
        {"POP of a mark", "c__main__\nAccount\n)R(0}b."s, admitted, ""},
        {"POP of an object", "c__main__\nAccount\n)R]0}b."s, admitted, ""},
        {"POP of an object above a mark", "(N0l."s, admitted, ""},
        {"POP_MARK drops what is above the mark",
         "c__main__\nAccount\n)R(c__main__\nAccount\n1}b."s, admitted, ""},
        {"POP_MARK drops the innermost mark", "((N1l."s, admitted, ""},
        {"POP_MARK without a mark", "N1."s, malformed, "could not find MARK"},
        {"LIST without a mark", "Nl."s, malformed, "could not find MARK"},
        {"POP of nothing", "0."s, malformed, "unpickling stack underflow"},
        {"DUP of nothing", "2."s, malformed, "unpickling stack underflow"},
        {"TUPLE2 of one", "N\x86."s, malformed, "unpickling stack underflow"},
        {"STOP with nothing", "."s, malformed, "unpickling stack underflow"},
        {"STOP with only a mark", "(."s, malformed, "unexpected MARK found"},
    });
}

TEST(PickleScan, NestsNoDeeperThanTheLimit)
{
    // Whatever the innermost value, scalar or empty container, it adds no level.
    const std::string leaves[] = {"N"s, "]"s, "}"s, ")"s, "X\x01\x00\x00\x00z"s};
    for (int max_depth : {0, 1, 2, 500})
        for (const std::string& leaf : leaves) {
            SCOPED_TRACE("max_depth " + std::to_string(max_depth) + ", leaf " + leaf.substr(0, 1));
            PickleScanLimits limits{1000, max_depth, 64};
            expect_scan(nested_lists(max_depth, leaf), admitted, "", limits);
            expect_scan(nested_lists(max_depth + 1, leaf), too_deep, "", limits);
        }
}

TEST(PickleScan, JudgesASharedValueByItsDeepestPlace)
{
    // S = [[[None]]], met at depth 1 and 3 of [S, [[S]]] (so 6 deep), in
    // either order.
    const std::string s = "]]]Naaaq\x00"s;
    const std::string shallow_first = "]" + s + "a]]h\x00"s + "aaa.";
    const std::string deep_first = "]]]" + s + "aaah\x00"s + "a.";
    for (const std::string& payload : {shallow_first, deep_first}) {
        expect_scan(payload, admitted, "", {0, 6, 64});
        expect_scan(payload, too_deep, "", {0, 5, 64});
    }
}

TEST(PickleScan, RefusesAValueThatContainsItself)
{
    expect_cases({
        {"a list in itself", "]q\x00h\x00" "a."s, too_deep, ""},
        {"a dict in itself", "}q\x00Nh\x00s."s, too_deep, ""},
        {"two lists in each other", "]q\x00]h\x00" "aa."s, too_deep, ""},
        {"a list holding a list in itself", "]]q\x00h\x00" "aa."s, too_deep, ""},
        {"an instance that is its own state", "c__main__\nAccount\n)Rq\x00h\x00" "b."s, too_deep,
         ""},
        {"a list in itself, dropped", "]q\x00h\x00" "a0N."s, admitted, ""},
    });
}

TEST(PickleScan, WeighsWhatItSharesAtEveryPlace)
{
    // Past the bound, the weight must saturate, not overflow.
    for (int refs : {2, 4})
        for (int rounds = 0; rounds <= 100; ++rounds) {
            SCOPED_TRACE(std::to_string(rounds) + " rounds of " + std::to_string(refs));
            std::string payload = bomb(rounds, refs);
            int64_t bound = 64 * static_cast<int64_t>(payload.size());
            bool fits = bomb_weight(rounds, refs, bound) <= bound;
            expect_scan(payload, fits ? admitted : refused, fits ? "" : "unfolds to more than");
        }
    // 2**12 - 1 lists in 105 bytes, and 2**13 - 1 in 114.
    expect_scan(bomb(11, 2), admitted);
    expect_scan(bomb(12, 2), refused,
                "X payload at offset 1000 unfolds to more than 64 times its 114 bytes, counting "
                "what it shares at every place");
    // Scalars and byte strings weigh as their data, at every place.
    const std::string bytes = "c_codecs\nencode\n" + text(200) + "X\x06\x00\x00\x00latin1\x86R"s;
    for (const std::string& value : {text(200), bytes}) {
        expect_scan(shared_in_list(value, 100), admitted);
        expect_scan(shared_in_list(value, 250), refused, "unfolds to more than");
    }
}

TEST(PickleScan, WeightBoundIncludesItsLimit)
{
    // The bomb of 5 rounds weighs 63 in 51 bytes; popped scalars before it
    // add bytes and no weight.
    PickleScanLimits one_per_byte{1000, 500, 1};
    std::string value = bomb(5, 2);
    expect_scan("N0N0N0N0N0N0" + value, admitted, "", one_per_byte);
    expect_scan("N0N0N0N0V\n0" + value, refused,
                "X payload at offset 1000 unfolds to more than 1 times its 62 bytes", one_per_byte);
}

TEST(PickleScan, EveryCutOfAPickleIsTruncated)
{
    std::vector<std::string> pickles = {
        bomb(11, 2), nested_lists(40, "N"),
        "c_codecs\nencode\n" + text(3) + "X\x06\x00\x00\x00latin1\x86R."s};
    for (const Case& c : cpython_pickles())
        pickles.push_back(c.payload);
    for (size_t i = 0; i < pickles.size(); ++i)
        for (size_t size = 0; size < pickles[i].size(); ++size) {
            SCOPED_TRACE("pickle " + std::to_string(i) + " cut at " + std::to_string(size));
            expect_scan(pickles[i].substr(0, size), malformed, "pickle data was truncated");
        }
}

TEST(PickleScan, ReadsOnlyProtocolsZeroToTwo)
{
    expect_cases({
        {"PROTO 0", "\x80\x00N."s, admitted, ""},
        {"PROTO 3", "\x80\x03N."s, malformed, "protocol 3 at 0 is not one of 0 to 2"},
        {"PROTO 4", "\x80\x04N."s, malformed, "protocol 4 at 0 is not one of 0 to 2"},
        {"BINBYTES", "B\x01\x00\x00\x00z."s, malformed,
         "opcode 0x42 at 0 is not of pickle protocols 0 to 2"},
        {"SHORT_BINBYTES", "C\x01z."s, malformed, "opcode 0x43 at 0"},
        {"SHORT_BINUNICODE", "\x8c\x01z."s, malformed, "opcode 0x8c at 0"},
        {"FRAME", "\x95\x02\x00\x00\x00\x00\x00\x00\x00N."s, malformed, "opcode 0x95 at 0"},
        {"MEMOIZE", "]\x94."s, malformed, "opcode 0x94 at 1"},
        {"EMPTY_SET", "\x8f."s, malformed, "opcode 0x8f at 0"},
        {"STACK_GLOBAL", "\x93."s, malformed, "opcode 0x93 at 0"},
        {"BYTEARRAY8", "\x96."s, malformed, "opcode 0x96 at 0"},
        {"a NUL byte", "\x00."s, malformed, "opcode 0x00 at 0"},
        {"a newline", "\n."s, malformed, "opcode 0x0a at 0"},
        {"byte 0xff", "N\xff."s, malformed, "opcode 0xff at 1"},
        // The extension cache would hand out globals the registry never saw.
        {"EXT1", "\x82\x01."s, malformed, "extension codes are not read"},
        {"EXT2", "\x83\x01\x00."s, malformed, "extension codes are not read"},
        {"EXT4", "\x84\x01\x00\x00\x00."s, malformed, "extension codes are not read"},
        {"PERSID", "P1\n."s, malformed, "persistent ids are not read"},
        {"BINPERSID", "NQ."s, malformed, "persistent ids are not read"},
        {"BINSTRING of a negative size", "T\xff\xff\xff\xffz."s, malformed,
         "pickle data was truncated"},
        {"LONG4 longer than the payload", "\x8b\x10\x00\x00\x00\x01."s, malformed,
         "pickle data was truncated"},
    });
}

TEST(PickleScan, AsksTheRegistryOnceForEachGlobalWritten)
{
    std::vector<std::string> seen;
    PickleScanResult result =
        scan("c__main__\nAccount\nq\x00" "0h\x00)R(i__main__\nLedger\n0c\nx\n."s, unpack_limits,
             Registry{&seen});
    EXPECT_EQ(name_of(result.outcome), "classifier_failed");
    EXPECT_EQ(result.message, "");
    EXPECT_EQ(seen, (std::vector<std::string>{"__main__\nAccount", "__main__\nLedger", "\nx"}));

    // The registry reports its refusal itself: nothing after it may replace it.
    expect_cases({
        {"a global refused", "cos\nsystem\n."s, classifier_failed, ""},
        {"a global refused, then no pickle", "cos\nsystem\n\xff"s, classifier_failed, ""},
        {"INST of a global refused", "(ios\nsystem\n."s, classifier_failed, ""},
        {"Python 3, protocol 2: a set",
         "\x80\x02" "c__builtin__\nset\nq\x00]q\x01K\x01" "a\x85q\x02Rq\x03."s, classifier_failed,
         ""},
    });
}

// A pop that reaches below the innermost mark leaves the mark above the
// stack: Python 3 refuses it outright, and Python 2 fails on the next
// opcode that takes the mark, or reads the payload as Python 3 would not.
TEST(PickleScan, RefusesPopsBelowAMark)
{
    expect_cases({
        {"TUPLE2 across a mark, then LIST", "NN(\x86l."s, malformed, ""},
        {"TUPLE3 across a mark, then TUPLE", "NNN(\x87t."s, malformed, ""},
        {"APPEND across a mark, then APPENDS", "]](ae."s, malformed, ""},
        {"SETITEM across a mark, then SETITEMS", "}NN(su."s, malformed, ""},
        {"TUPLE2 across a mark, then POP_MARK", "NN(\x86" "1."s, malformed, ""},
        {"REDUCE across a mark, then POP_MARK", "c__main__\nAccount\n)(R1."s, malformed, ""},
    });
}

// A byte string built from byte strings weighs as their sum: doubled each
// round, it must saturate, never overflow back into the bound.
TEST(PickleScan, ByteStringWeightsSaturate)
{
    std::string payload = "c_codecs\nencode\nq\x00" "X\x06\x00\x00\x00latin1q\x01"s;
    for (int round = 0; round < 70; ++round)
        payload += "h\x00h\x01h\x01\x86Rq\x01"s;
    PickleScanResult result = scan(payload + ".");
    EXPECT_NE(name_of(result.outcome), "admitted");
}

}  // namespace
