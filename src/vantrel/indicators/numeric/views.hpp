// Element views that kernels read and write through.
//
// Kernels are templates over these views and never include Python.h: they see
// sample counts as 64-bit integers and elements through operator[]. A view is
// either contiguous (a plain aligned pointer, which the compiler can vectorise)
// or strided (a byte step between elements, read with memcpy so that neither
// alignment nor a negative step matters). `dispatch` picks the contiguous
// instantiation when every view of a call is contiguous, else the strided one,
// so each kernel is compiled twice rather than once per combination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vi {

template <class T>
struct Contiguous {
    using value_type = std::remove_const_t<T>;
    T* base;
    T& operator[](std::int64_t i) const noexcept { return base[i]; }
};

template <class T>
struct Strided {
    using value_type = std::remove_const_t<T>;
    using Byte = std::conditional_t<std::is_const_v<T>, const unsigned char, unsigned char>;
    Byte* base;
    std::ptrdiff_t step;  // bytes between consecutive elements

    struct Ref {
        Byte* at;
        operator std::remove_const_t<T>() const noexcept {
            std::remove_const_t<T> v;
            std::memcpy(&v, at, sizeof v);
            return v;
        }
        Ref& operator=(std::remove_const_t<T> v) noexcept
            requires(!std::is_const_v<T>)
        {
            std::memcpy(at, &v, sizeof v);
            return *this;
        }
        Ref& operator=(const Ref& other) noexcept
            requires(!std::is_const_v<T>)
        {
            return *this = static_cast<std::remove_const_t<T>>(other);
        }
    };
    Ref operator[](std::int64_t i) const noexcept { return Ref{base + i * step}; }
};

// A raw strided array as the framework hands it over: data pointer and byte step.
template <class T>
struct Raw {
    T* data;
    std::ptrdiff_t step;

    bool contiguous() const noexcept {
        return step == static_cast<std::ptrdiff_t>(sizeof(T)) &&
               reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
    }
    Contiguous<T> as_contiguous() const noexcept { return {data}; }
    Strided<T> as_strided() const noexcept {
        return {reinterpret_cast<typename Strided<T>::Byte*>(data), step};
    }
};

// Calls fn(view...) with contiguous views when all are contiguous, else strided ones.
template <class Fn, class... T>
void dispatch(Fn&& fn, Raw<T>... raw) {
    if ((raw.contiguous() && ...)) {
        fn(raw.as_contiguous()...);
    } else {
        fn(raw.as_strided()...);
    }
}

}  // namespace vi
