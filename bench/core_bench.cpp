// Micro-benchmarks of the pure core (no interpreter): type schema compile and
// match, path parsing, type digests and identifiers, SipHash, and the raw
// SHA-256 entry points of libcrypto that the digests are built on.
//
//   core_bench --benchmark_min_time=0.2
//
// The "raw" SHA-256 cases show what a one-shot digest costs through each
// libcrypto entry point; sha256_of should sit near the cheapest of them.
#define OPENSSL_SUPPRESS_DEPRECATED  // SHA256_Init & co., measured for comparison only
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>
#include <vector>

#include "patterns/path_parser.hpp"
#include "type_schema/schema.hpp"
#include "types/digest.hpp"
#include "types/type.hpp"

using namespace quorvel;

namespace {

TypeRef V(std::string name) { return Type::variable(std::move(name)); }
TypeRef F(TypeRef l, TypeRef r) { return Type::application(std::move(l), std::move(r)); }

// A balanced tree of 2^depth leaves named v0, v1, ... (fresh handles).
TypeRef balanced(int depth, int& next) {
    if (depth == 0) return V("v" + std::to_string(next++));
    TypeRef l = balanced(depth - 1, next);
    TypeRef r = balanced(depth - 1, next);
    return F(std::move(l), std::move(r));
}
TypeRef balanced(int depth) {
    int next = 0;
    return balanced(depth, next);
}

// A right-leaning chain A -> (A -> (... -> A)) of `n` arrows sharing one leaf.
TypeRef chain(int n) {
    TypeRef a = V("A");
    TypeRef t = a;
    for (int i = 0; i < n; ++i) t = F(a, t);
    return t;
}

struct SchemaCase {
    const char* pattern;
    TypeRef type;
};

std::vector<SchemaCase> schema_cases() {
    TypeRef A = V("A"), B = V("B"), C = V("C"), P = V("Person");
    return {
        {"$Person$", P},                               // 0: variable, hit
        {"$Person$", F(P, P)},                         // 1: variable, miss on an application
        {"$*$", F(A, B)},                              // 2: wildcard
        {"$A -> B$", F(A, B)},                         // 3: one arrow, hit
        {"$A -> B -> C$", F(F(A, B), C)},              // 4: right-nested, miss
        {"$(f:A -> B) -> (x:*)$", F(F(A, B), C)},      // 5: nested captures, hit
        {"$(x:*)$", F(A, B)},                          // 6: one capture
        {"$* -> * -> * -> * -> * -> * -> * -> *$", chain(7)},  // 7: long arrow chain, hit
    };
}

const char* kCaseNames[] = {"var_hit", "var_miss", "any", "arrow_hit", "nested_miss", "captures_hit", "capture_any",
                            "chain7_hit"};

void BM_SchemaCompile(benchmark::State& st) {
    auto cases = schema_cases();
    const std::string text = cases[st.range(0)].pattern;
    for (auto _ : st) {
        TypeSchema s(text);
        benchmark::DoNotOptimize(s.node_count());
    }
    st.SetLabel(kCaseNames[st.range(0)]);
}
BENCHMARK(BM_SchemaCompile)->DenseRange(0, 7);

void BM_SchemaMatchesType(benchmark::State& st) {
    auto cases = schema_cases();
    const auto& c = cases[st.range(0)];
    TypeSchema s(c.pattern);
    for (auto _ : st) benchmark::DoNotOptimize(s.matches_type(*c.type));
    st.SetLabel(kCaseNames[st.range(0)]);
}
BENCHMARK(BM_SchemaMatchesType)->DenseRange(0, 7);

// The same questions answered by re-reading the text (the direct oracle).
void BM_SchemaReference(benchmark::State& st) {
    auto cases = schema_cases();
    const auto& c = cases[st.range(0)];
    Captures caps;
    for (auto _ : st) {
        caps.clear();
        benchmark::DoNotOptimize(reference::reference_matches(c.pattern, c.type, caps));
    }
    st.SetLabel(kCaseNames[st.range(0)]);
}
BENCHMARK(BM_SchemaReference)->DenseRange(0, 7);

void BM_SchemaCapture(benchmark::State& st) {
    auto cases = schema_cases();
    const auto& c = cases[st.range(0)];
    TypeSchema s(c.pattern);
    Captures out;  // reused: the steady state of a caller matching many types
    for (auto _ : st) benchmark::DoNotOptimize(s.capture(c.type, out));
    st.SetLabel(kCaseNames[st.range(0)]);
}
BENCHMARK(BM_SchemaCapture)->Arg(0)->Arg(5)->Arg(6)->Arg(7);

// Matching a deep type: "$* -> ... -> *$" against a chain of n arrows.
void BM_SchemaMatchDeep(benchmark::State& st) {
    const int n = static_cast<int>(st.range(0));
    std::string pat = "$*";
    for (int i = 0; i < n; ++i) pat += " -> *";
    pat += "$";
    TypeSchema s(pat);
    TypeRef t = chain(n);
    for (auto _ : st) benchmark::DoNotOptimize(s.matches_type(*t));
    st.SetComplexityN(n);
}
BENCHMARK(BM_SchemaMatchDeep)->RangeMultiplier(8)->Range(8, 4096)->Complexity(benchmark::oN);

// ---- path parser -----------------------------------------------------------------

std::string long_path(int edges) {
    std::string s;
    for (int i = 0; i < edges; ++i) {
        std::string n = std::to_string(i);
        if (i % 3 == 0)
            s += "(a" + n + ":$T" + n + " -> *$)-[e" + n + ":$T" + n + " -> T" + std::to_string(i + 1) + "$]->";
        else if (i % 3 == 1)
            s += "(a" + n + ":T" + n + ")<-[e" + n + "]-";
        else
            s += "(a" + n + ")-[e" + n + ":f]-";
    }
    return s + "(z)";
}

void BM_ParsePath(benchmark::State& st) {
    const int edges = static_cast<int>(st.range(0));
    const std::string text = edges == 1 ? std::string("(n:Person)-[e:knows]->(m:Person)") : long_path(edges);
    if (!std::holds_alternative<ParsedPath>(parse_path(text))) {
        st.SkipWithError("pattern rejected");
        return;
    }
    for (auto _ : st) {
        auto r = parse_path(text);
        benchmark::DoNotOptimize(r);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size()));
    st.SetComplexityN(edges);
}
BENCHMARK(BM_ParsePath)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

void BM_ParsePathInvalid(benchmark::State& st) {
    const std::string text = "(a)-[e]->(b)-[f]->(c";  // unclosed node: an error value
    for (auto _ : st) {
        auto r = parse_path(text);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_ParsePathInvalid);

// ---- digests -------------------------------------------------------------------

// Builds a fresh balanced tree and digests it: one SHA-256 per tree node.
void BM_TypeDigestFresh(benchmark::State& st) {
    const int depth = static_cast<int>(st.range(0));
    for (auto _ : st) {
        TypeRef t = balanced(depth);
        benchmark::DoNotOptimize(t->digest());
    }
    st.SetItemsProcessed(st.iterations() * ((2 << depth) - 1));  // tree nodes
}
BENCHMARK(BM_TypeDigestFresh)->Arg(0)->Arg(2)->Arg(6);

// The build alone, to subtract from the line above.
void BM_TypeBuildOnly(benchmark::State& st) {
    const int depth = static_cast<int>(st.range(0));
    for (auto _ : st) {
        TypeRef t = balanced(depth);
        benchmark::DoNotOptimize(t.get());
    }
    st.SetItemsProcessed(st.iterations() * ((2 << depth) - 1));
}
BENCHMARK(BM_TypeBuildOnly)->Arg(0)->Arg(2)->Arg(6);

void BM_TypeDigestMemo(benchmark::State& st) {
    TypeRef t = balanced(static_cast<int>(st.range(0)));
    t->digest();
    for (auto _ : st) benchmark::DoNotOptimize(t->digest());
}
BENCHMARK(BM_TypeDigestMemo)->Arg(6);

void BM_TypeUidMemo(benchmark::State& st) {  // digest memoized; the hex text is built each call
    TypeRef t = balanced(static_cast<int>(st.range(0)));
    t->digest();
    for (auto _ : st) benchmark::DoNotOptimize(t->uid());
}
BENCHMARK(BM_TypeUidMemo)->Arg(6);

void BM_DigestHexInto(benchmark::State& st) {
    Digest d{};
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(i * 37);
    char out[64];
    for (auto _ : st) {
        digest_hex_into(d, out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_DigestHexInto);

// sha256_of over the input of an application's or a node's uid ("app:" + 64 + ":" + 64).
void BM_Sha256Of(benchmark::State& st) {
    const std::string body(static_cast<std::size_t>(st.range(0)), 'x');
    for (auto _ : st) benchmark::DoNotOptimize(sha256_of("app:", body));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * (body.size() + 4)));
}
BENCHMARK(BM_Sha256Of)->Arg(5)->Arg(64)->Arg(129)->Arg(1000);

// Raw libcrypto one-shot SHA256(): in OpenSSL 3 this fetches the algorithm
// and allocates a context on every call.
void BM_RawSHA256OneShot(benchmark::State& st) {
    const std::string in(static_cast<std::size_t>(st.range(0)), 'x');
    unsigned char out[32];
    for (auto _ : st) {
        SHA256(reinterpret_cast<const unsigned char*>(in.data()), in.size(), out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_RawSHA256OneShot)->Arg(69)->Arg(133);

// Low-level SHA256_Init/Update/Final on a stack context: no fetch, no allocation.
void BM_RawSHA256Ctx(benchmark::State& st) {
    const std::string in(static_cast<std::size_t>(st.range(0)), 'x');
    unsigned char out[32];
    for (auto _ : st) {
        SHA256_CTX c;
        SHA256_Init(&c);
        SHA256_Update(&c, in.data(), in.size());
        SHA256_Final(out, &c);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_RawSHA256Ctx)->Arg(69)->Arg(133);

// EVP with the algorithm fetched once and one context reused.
void BM_RawSHA256EvpReused(benchmark::State& st) {
    const std::string in(static_cast<std::size_t>(st.range(0)), 'x');
    unsigned char out[32];
    unsigned int len = 0;
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : st) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, in.data(), in.size());
        EVP_DigestFinal_ex(ctx, out, &len);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}
BENCHMARK(BM_RawSHA256EvpReused)->Arg(69)->Arg(133);

// ---- hashing and equality ----------------------------------------------------------

void BM_SipHash13(benchmark::State& st) {
    const std::string in(static_cast<std::size_t>(st.range(0)), 'x');
    for (auto _ : st) {
        SipHash13 h;
        h.update(in.data(), in.size());
        benchmark::DoNotOptimize(h.finish());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * in.size()));
}
BENCHMARK(BM_SipHash13)->Arg(8)->Arg(64)->Arg(1024);

// Byte-at-a-time feeding, as a type's hash stream does for tags and trailers.
void BM_SipHash13Bytes(benchmark::State& st) {
    for (auto _ : st) {
        SipHash13 h;
        for (int i = 0; i < 64; ++i) h.update_byte(static_cast<std::uint8_t>(i));
        benchmark::DoNotOptimize(h.finish());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * 64));
}
BENCHMARK(BM_SipHash13Bytes);

void BM_TypePyHashFresh(benchmark::State& st) {
    const int depth = static_cast<int>(st.range(0));
    for (auto _ : st) {
        TypeRef t = balanced(depth);
        benchmark::DoNotOptimize(t->py_hash());
    }
    st.SetItemsProcessed(st.iterations() * ((2 << depth) - 1));
}
BENCHMARK(BM_TypePyHashFresh)->Arg(2)->Arg(6);

void BM_TypePyHashMemo(benchmark::State& st) {
    TypeRef t = balanced(6);
    t->py_hash();
    for (auto _ : st) benchmark::DoNotOptimize(t->py_hash());
}
BENCHMARK(BM_TypePyHashMemo);

// Structural equality of two equal trees built apart (no shared handles).
void BM_TypeEqualDistinct(benchmark::State& st) {
    TypeRef a = balanced(static_cast<int>(st.range(0)));
    TypeRef b = balanced(static_cast<int>(st.range(0)));
    for (auto _ : st) benchmark::DoNotOptimize(*a == *b);
}
BENCHMARK(BM_TypeEqualDistinct)->Arg(2)->Arg(10);

}  // namespace

BENCHMARK_MAIN();
