#pragma once
// A number or flag that one thread writes while others read it without a
// lock (module records, interpreter state): relaxed atomic loads and stores
// that cost no more than plain ones here, with value semantics so the records
// holding it stay copyable. A read-modify-write through it is not atomic as a
// whole; each such field has one writing thread at a time.

#include <atomic>

template <typename T>
class RelaxedAtomic {
public:
    RelaxedAtomic(T value = T()) noexcept : m_Value(value) {}
    RelaxedAtomic(const RelaxedAtomic& other) noexcept : m_Value(other.load()) {}
    RelaxedAtomic& operator=(const RelaxedAtomic& other) noexcept {
        store(other.load());
        return *this;
    }
    RelaxedAtomic& operator=(T value) noexcept {
        store(value);
        return *this;
    }
    operator T() const noexcept { return load(); }

    T load() const noexcept { return m_Value.load(std::memory_order_relaxed); }
    void store(T value) noexcept { m_Value.store(value, std::memory_order_relaxed); }

    RelaxedAtomic& operator+=(T value) noexcept { return *this = static_cast<T>(load() + value); }
    RelaxedAtomic& operator-=(T value) noexcept { return *this = static_cast<T>(load() - value); }
    RelaxedAtomic& operator|=(T value) noexcept { return *this = static_cast<T>(load() | value); }
    RelaxedAtomic& operator&=(T value) noexcept { return *this = static_cast<T>(load() & value); }
    RelaxedAtomic& operator++() noexcept { return *this += T(1); }
    T operator++(int) noexcept {
        const T old = load();
        store(static_cast<T>(old + 1));
        return old;
    }

private:
    std::atomic<T> m_Value;
};
