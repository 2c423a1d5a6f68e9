// Throughput of MD5, SHA-1 and HMAC-SHA1 beside OpenSSL, and the cost of signing one
// metric upload and building one signed management URL.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>
#include <vector>

#include "logger.h"
#include "digest.h"
#include "guider.h"
#include "sds.h"
#include "zeb-sdk-internal.h"

namespace {

std::vector<unsigned char> payload(size_t size) {
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
    return data;
}

void setThroughput(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Md5(benchmark::State& state) {
    const auto data = payload(static_cast<size_t>(state.range(0)));
    unsigned char digest[kMd5DigestSize];
    for (auto _ : state) {
        md5_context ctx;
        md5_init(&ctx);
        md5_update(&ctx, data.data(), data.size());
        md5_final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    setThroughput(state);
}

void BM_Sha1(benchmark::State& state) {
    const auto data = payload(static_cast<size_t>(state.range(0)));
    unsigned char digest[kSha1DigestSize];
    for (auto _ : state) {
        sha1_context ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, data.data(), data.size());
        sha1_final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    setThroughput(state);
}

void BM_HmacSha1(benchmark::State& state) {
    const auto data = payload(static_cast<size_t>(state.range(0)));
    const auto key = payload(40);
    unsigned char digest[kSha1DigestSize];
    for (auto _ : state) {
        hmac_sha1(data.data(), static_cast<uint32_t>(data.size()), digest, key.data(),
                  static_cast<uint32_t>(key.size()));
        benchmark::DoNotOptimize(digest);
    }
    setThroughput(state);
}

void openSslDigest(benchmark::State& state, const EVP_MD* md) {
    const auto data = payload(static_cast<size_t>(state.range(0)));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    setThroughput(state);
}

void BM_OpenSsl_Md5(benchmark::State& state) { openSslDigest(state, EVP_md5()); }
void BM_OpenSsl_Sha1(benchmark::State& state) { openSslDigest(state, EVP_sha1()); }

void BM_OpenSsl_HmacSha1(benchmark::State& state) {
    const auto data = payload(static_cast<size_t>(state.range(0)));
    const auto key = payload(40);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    for (auto _ : state) {
        HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), digest,
             &length);
        benchmark::DoNotOptimize(digest);
    }
    setThroughput(state);
}

// Content-MD5 of a typical upload body, the string to sign and its HMAC-SHA1 hex.
void BM_SignOneUpload(benchmark::State& state) {
    const std::string body =
        "[{\"serviceName\":\"svc\",\"functionName\":\"func\",\"metricName\":\"cpu\","
        "\"value\":12.5,\"ts\":1700000000000,\"groupId\":\"1234\",\"instanceId\":\"gw-01\"}]";
    CloudSdkCredential credential{};
    snprintf(credential.accessKeyId, sizeof credential.accessKeyId, "%s", "LTAI5tExampleKeyId");
    snprintf(credential.accessKeySecret, sizeof credential.accessKeySecret, "%s",
             "ExampleSecretExampleSecretExample");
    const std::string token(400, 't');
    for (auto _ : state) {
        char md5[kMd5HexSize + 1] = {};
        md5_hex(reinterpret_cast<const unsigned char*>(body.data()),
                static_cast<int32_t>(body.size()), md5);
        const SdsPtr text(cloudSdkUploadStringToSign(md5, "Mon, 01 Jan 2024 00:00:00 GMT",
                                                     token.c_str(), "/metric/product/tessar/user"));
        const SdsPtr authorization(cloudSdkUploadAuthorization(text.get(), &credential));
        benchmark::DoNotOptimize(authorization.get());
    }
}

void BM_BuildSignedUrl(benchmark::State& state) {
    const std::string token(400, 't');
    for (auto _ : state) {
        const ParamListPtr params(paramListNew());
        (void)paramListAdd(params.get(), "Action", "DescribeMonitorGroups");
        (void)paramListAdd(params.get(), "GroupName", "pxr::service-monitor");
        const SdsPtr url(buildRpcHttpsRequest("monitor-api.cloud.example", params.get(),
                                              "LTAI5tExampleKeyId",
                                              "ExampleSecretExampleSecretExample", token.c_str()));
        benchmark::DoNotOptimize(url.get());
    }
}

}  // namespace

BENCHMARK(BM_Md5)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(BM_OpenSsl_Md5)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(BM_Sha1)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(BM_OpenSsl_Sha1)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(BM_HmacSha1)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(BM_OpenSsl_HmacSha1)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(BM_SignOneUpload);
BENCHMARK(BM_BuildSignedUrl);

int main(int argc, char** argv) {
    log_init("bench", 0, 3, 4);  // the signer traces every string to sign
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
