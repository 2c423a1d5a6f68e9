#include "service_monitor_metric_data_cache.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "common.h"
#include "hash_string.h"

namespace {

constexpr int kPooledModules = 3;
constexpr int kPooledMetrics = 4;

void _listInit(CACHE_LINK_T* head) {
    head->next = head;
    head->prev = head;
}

void _listAppend(CACHE_LINK_T* head, CACHE_LINK_T* link) {
    link->prev = head->prev;
    link->next = head;
    head->prev->next = link;
    head->prev = link;
}

CACHE_LINK_T* _listPopFront(CACHE_LINK_T* head) {
    CACHE_LINK_T* const link = head->next;
    if (link == head) return nullptr;
    head->next = link->next;
    link->next->prev = head;
    link->next = nullptr;
    link->prev = nullptr;
    return link;
}

size_t _listSize(const CACHE_LINK_T* head) {
    size_t n = 0;
    for (const CACHE_LINK_T* link = head->next; link != head; link = link->next) ++n;
    return n;
}

template <typename T>
T* _fromLink(CACHE_LINK_T* link) {
    return reinterpret_cast<T*>(reinterpret_cast<char*>(link) - offsetof(T, link));
}

// The chain link is the first member of both node types.
template <typename T>
T* _fromChain(HASH_NODE_T* chain) {
    return reinterpret_cast<T*>(chain);
}

template <typename T>
const T* _fromChain(const HASH_NODE_T* chain) {
    return reinterpret_cast<const T*>(chain);
}

void _copyName(char* dst, size_t size, const char* src) {
    const size_t len = strnlen(src, size - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

uint64_t _hashName(const void* key) {
    return hash_string(static_cast<const char*>(key));
}

int _equalModule(const void* key, const HASH_NODE_T* node) {
    return strcmp(static_cast<const char*>(key), _fromChain<MODULE_NODE_T>(node)->moduleName) == 0;
}

int _equalMetric(const void* key, const HASH_NODE_T* node) {
    return strcmp(static_cast<const char*>(key), _fromChain<METRIC_NODE_T>(node)->metricName) == 0;
}

template <typename T>
std::unique_ptr<T> _allocZeroed() noexcept {
    try {
        return std::make_unique<T>();  // value-initialised: all zero
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

MODULE_NODE_T* _createModuleNode() {
    std::unique_ptr<MODULE_NODE_T> module = _allocZeroed<MODULE_NODE_T>();
    if (!module) return nullptr;
    hashtable_fast_init(&module->metricTable, module->metricBuckets, kCacheBuckets, _hashName,
                        _equalMetric, nullptr, nullptr);
    return module.release();
}

METRIC_NODE_T* _createMetricNode() {
    return _allocZeroed<METRIC_NODE_T>().release();
}

int _initFreeModuleNodeList(METRIC_DATA_CACHE_T* cache) {
    for (int i = 0; i < kPooledModules; ++i) {
        MODULE_NODE_T* const module = _createModuleNode();
        if (module == nullptr) {
            SM_LOG(3, "create module node failed\n");
            return -1;
        }
        _listAppend(&cache->freeModules, &module->link);
    }
    return 0;
}

int _initFreeMetricNodeList(METRIC_DATA_CACHE_T* cache) {
    for (int i = 0; i < kPooledMetrics; ++i) {
        METRIC_NODE_T* const metric = _createMetricNode();
        if (metric == nullptr) {
            SM_LOG(3, "create metric node failed\n");
            return -1;
        }
        _listAppend(&cache->freeMetrics, &metric->link);
    }
    return 0;
}

MODULE_NODE_T* _takeModuleNode(METRIC_DATA_CACHE_T* cache) {
    CACHE_LINK_T* const link = _listPopFront(&cache->freeModules);
    if (link == nullptr) return _createModuleNode();
    MODULE_NODE_T* const module = _fromLink<MODULE_NODE_T>(link);
    hashtable_remove_all(&module->metricTable);
    return module;
}

METRIC_NODE_T* _takeMetricNode(METRIC_DATA_CACHE_T* cache) {
    CACHE_LINK_T* const link = _listPopFront(&cache->freeMetrics);
    if (link == nullptr) return _createMetricNode();
    METRIC_NODE_T* const metric = _fromLink<METRIC_NODE_T>(link);
    metric->value = 0;
    metric->count = 0;
    metric->collectRule = 0;
    metric->held = false;
    return metric;
}

// An aggregate that left the doubles (two sums near the largest double) is held at the
// largest uploadable value of its sign, so that every upload body stays valid JSON that
// reads back finite. Held stays held for the rest of the period: any later sum from the
// held value would be neither the true sum nor the held one.
void _saturate(METRIC_NODE_T* metric, double value) {
    if (std::isfinite(value)) {
        metric->value = value;
        return;
    }
    metric->held = true;
    metric->value = std::signbit(value) ? -kMetricValueMax : kMetricValueMax;
}

// The running mean, formed so that no intermediate overflows for finite samples.
double _runningMean(double mean, double v, int64_t count) {
    const double n = static_cast<double>(count);
    return mean + (v / n - mean / n);
}

// The node already bears the sample's name: found by it, or named when made.
void _updateMetricNode(METRIC_NODE_T* metric, uint32_t rule, double v) {
    metric->collectRule = rule;
    ++metric->count;
    if (metric->held) return;
    switch (rule) {
        case COLLECT_RULE_UPDATE:
            metric->value = v;
            return;
        case COLLECT_RULE_ACCUMULATE:
            _saturate(metric, metric->value + v);
            return;
        case COLLECT_RULE_AVG:
            _saturate(metric, _runningMean(metric->value, v, metric->count));
            return;
        default:
            return;
    }
}

template <typename Visit>
void _forEachChain(HASH_NODE_T* const* buckets, Visit visit) {
    for (size_t i = 0; i < kCacheBuckets; ++i) {
        for (HASH_NODE_T* node = buckets[i]; node != nullptr;) {
            HASH_NODE_T* const next = node->next;  // visit may relink the node
            visit(node);
            node = next;
        }
    }
}

// visit(module, metric) for every cached metric: module buckets in order, chains newest
// first.
template <typename Visit>
void _forEachMetric(const METRIC_DATA_CACHE_T* cache, Visit visit) {
    _forEachChain(cache->moduleBuckets, [&](HASH_NODE_T* moduleChain) {
        const MODULE_NODE_T* const module = _fromChain<MODULE_NODE_T>(moduleChain);
        _forEachChain(module->metricBuckets, [&](HASH_NODE_T* metricChain) {
            visit(*module, *_fromChain<METRIC_NODE_T>(metricChain));
        });
    });
}

void _freeList(CACHE_LINK_T* head, void (*release)(CACHE_LINK_T*)) {
    for (CACHE_LINK_T* link = _listPopFront(head); link != nullptr; link = _listPopFront(head)) {
        release(link);
    }
}

}  // namespace

METRIC_DATA_CACHE_T* metric_data_cache_init() {
    std::unique_ptr<METRIC_DATA_CACHE_T> cache = _allocZeroed<METRIC_DATA_CACHE_T>();
    if (!cache) {
        SM_LOG(3, "create data cache failed\n");
        return nullptr;
    }
    hashtable_fast_init(&cache->moduleTable, cache->moduleBuckets, kCacheBuckets, _hashName,
                        _equalModule, nullptr, nullptr);
    _listInit(&cache->freeModules);
    _listInit(&cache->freeMetrics);
    if (_initFreeModuleNodeList(cache.get()) != 0) {
        SM_LOG(3, "init free module list failed\n");
        metric_data_cache_deinit(cache.release());
        return nullptr;
    }
    if (_initFreeMetricNodeList(cache.get()) != 0) {
        SM_LOG(3, "init free metric list failed\n");
        metric_data_cache_deinit(cache.release());
        return nullptr;
    }
    return cache.release();
}

void metric_data_cache_deinit(METRIC_DATA_CACHE_T* cache) {
    if (cache == nullptr) return;
    const std::unique_ptr<METRIC_DATA_CACHE_T> owner(cache);
    _freeList(&cache->freeMetrics, [](CACHE_LINK_T* link) {
        const std::unique_ptr<METRIC_NODE_T> metric(_fromLink<METRIC_NODE_T>(link));
    });
    _freeList(&cache->freeModules, [](CACHE_LINK_T* link) {
        const std::unique_ptr<MODULE_NODE_T> module(_fromLink<MODULE_NODE_T>(link));
    });
    _forEachChain(cache->moduleBuckets, [](HASH_NODE_T* moduleChain) {
        const std::unique_ptr<MODULE_NODE_T> module(_fromChain<MODULE_NODE_T>(moduleChain));
        _forEachChain(module->metricBuckets, [](HASH_NODE_T* metricChain) {
            const std::unique_ptr<METRIC_NODE_T> metric(_fromChain<METRIC_NODE_T>(metricChain));
        });
    });
}

namespace {

// The module's node, found (the last one used first) or made; null after logging.
MODULE_NODE_T* _moduleNode(METRIC_DATA_CACHE_T* cache, const char* moduleName) {
    MODULE_NODE_T* module = cache->recentModule;
    if (module == nullptr || strcmp(module->moduleName, moduleName) != 0) {
        HASH_NODE_T* const found = hashtable_lookup_key(&cache->moduleTable, moduleName);
        module = found != nullptr ? _fromChain<MODULE_NODE_T>(found) : nullptr;
    }
    if (module == nullptr) {
        module = _takeModuleNode(cache);
        if (module == nullptr) {
            SM_LOG(3, "create module node failed\n");
            return nullptr;
        }
        _copyName(module->moduleName, sizeof module->moduleName, moduleName);
        hashtable_insert(&cache->moduleTable, moduleName, &module->chain);
    }
    cache->recentModule = module;
    return module;
}

// The metric's node in its module, found or made; null after logging.
METRIC_NODE_T* _metricNode(METRIC_DATA_CACHE_T* cache, MODULE_NODE_T* module,
                           const char* metricName) {
    HASH_NODE_T* const chain = hashtable_lookup_key(&module->metricTable, metricName);
    METRIC_NODE_T* metric = chain != nullptr ? _fromChain<METRIC_NODE_T>(chain) : nullptr;
    if (metric == nullptr) {
        metric = _takeMetricNode(cache);
        if (metric == nullptr) {
            SM_LOG(3, "create metricNode node failed\n");
            return nullptr;
        }
        _copyName(metric->metricName, sizeof metric->metricName, metricName);
        hashtable_insert(&module->metricTable, metricName, &metric->chain);
    }
    return metric;
}

}  // namespace

int insert_metric_data(METRIC_DATA_CACHE_T* cache, const METRIC_MESSAGE_T* message) {
    if (cache == nullptr || message == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    // Names as queued end within their fields; others are cut to them.
    char moduleCopy[kModuleNameSize];
    char metricCopy[kMetricNameSize];
    const char* moduleName = message->moduleName;
    const char* metricName = message->metricName;
    if (message->moduleName[kModuleNameSize - 1] != '\0') {
        _copyName(moduleCopy, sizeof moduleCopy, message->moduleName);
        moduleName = moduleCopy;
    }
    if (message->metricName[kMetricNameSize - 1] != '\0') {
        _copyName(metricCopy, sizeof metricCopy, message->metricName);
        metricName = metricCopy;
    }

    MODULE_NODE_T* const module = _moduleNode(cache, moduleName);
    if (module == nullptr) return -1;
    METRIC_NODE_T* const metric = _metricNode(cache, module, metricName);
    if (metric == nullptr) return -1;
    // Rules outside 1..3 leave the value alone; ingestion never queues them.
    const bool wasHeld = metric->held;
    _updateMetricNode(metric, message->collectRule, message->value);
    if (metric->held && !wasHeld) {  // once per metric and period
        SM_LOG(2, "metric(%s/%s) overflows, held at %g\n", moduleName, metricName, metric->value);
    }
    return 0;
}

int clear_metric_data(METRIC_DATA_CACHE_T* cache) {
    if (cache == nullptr) return -1;
    _forEachChain(cache->moduleBuckets, [cache](HASH_NODE_T* moduleChain) {
        MODULE_NODE_T* const module = _fromChain<MODULE_NODE_T>(moduleChain);
        _forEachChain(module->metricBuckets, [cache](HASH_NODE_T* metricChain) {
            METRIC_NODE_T* const metric = _fromChain<METRIC_NODE_T>(metricChain);
            metric->chain.next = nullptr;
            _listAppend(&cache->freeMetrics, &metric->link);
        });
        module->chain.next = nullptr;
        hashtable_remove_all(&module->metricTable);
        _listAppend(&cache->freeModules, &module->link);
    });
    hashtable_remove_all(&cache->moduleTable);
    cache->recentModule = nullptr;
    return 0;
}

int get_metric_data(const METRIC_DATA_CACHE_T* cache, const char* moduleName,
                    const char* metricName, double* value) {
    if (cache == nullptr || moduleName == nullptr || metricName == nullptr || value == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    const HASH_NODE_T* chain = hashtable_lookup_key(&cache->moduleTable, moduleName);
    if (chain == nullptr) return -1;
    chain = hashtable_lookup_key(&_fromChain<MODULE_NODE_T>(chain)->metricTable, metricName);
    if (chain == nullptr) return -1;
    *value = _fromChain<METRIC_NODE_T>(chain)->value;
    return 0;
}

uint64_t metric_data_cache_samples(const METRIC_DATA_CACHE_T* cache) {
    uint64_t samples = 0;
    if (cache == nullptr) return 0;
    _forEachMetric(cache, [&samples](const MODULE_NODE_T&, const METRIC_NODE_T& metric) {
        samples += static_cast<uint64_t>(metric.count);
    });
    return samples;
}

void iter_metric_data(const METRIC_DATA_CACHE_T* cache, METRIC_ITER_FUNC_T callback,
                      void* userData) {
    if (cache == nullptr) {
        SM_LOG(3, "invalid params\n");
        return;
    }
    if (callback == nullptr) return;
    _forEachMetric(cache, [&](const MODULE_NODE_T& module, const METRIC_NODE_T& metric) {
        callback(module.moduleName, metric.metricName, metric.collectRule, userData, metric.value);
    });
}

size_t metric_data_cache_free_modules(const METRIC_DATA_CACHE_T* cache) {
    return cache != nullptr ? _listSize(&cache->freeModules) : 0;
}
