// A stack of plain values for walking nested data without recursion: the
// first entries live in the object, the rest on the heap, so hostile nesting
// costs heap memory rather than C stack on whatever thread runs it.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace pyglue {

template <typename T, std::size_t Inline = 32>
class Stack {
    static_assert(std::is_trivially_copyable<T>::value, "entries are moved with memcpy");

public:
    Stack() = default;
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;
    ~Stack()
    {
        if (items_ != inline_)
            PyMem_Free(items_);
    }

    // False with MemoryError set when the stack cannot grow.
    bool push(const T& item)
    {
        if (size_ == capacity_ && !grow())
            return false;
        items_[size_++] = item;
        return true;
    }
    void pop() { --size_; }
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    T& top() { return items_[size_ - 1]; }
    const T& top() const { return items_[size_ - 1]; }
    const T& bottom() const { return items_[0]; }

private:
    bool grow()
    {
        std::size_t capacity = capacity_ * 2;
        void* fresh = items_ == inline_ ? PyMem_Malloc(capacity * sizeof(T))
                                        : PyMem_Realloc(items_, capacity * sizeof(T));
        if (!fresh) {
            PyErr_NoMemory();
            return false;
        }
        if (items_ == inline_)
            std::memcpy(fresh, inline_, sizeof inline_);
        items_ = static_cast<T*>(fresh);
        capacity_ = capacity;
        return true;
    }

    T inline_[Inline];
    T* items_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = Inline;
};

}  // namespace pyglue
