// The lines of a site window's log, oldest first. A line of bytes ("Data In: [00][07]") is kept
// as its bytes and written out only when something reads it: a site logs every reply it gets,
// for months, while its window is mostly never opened.
#pragma once

#include <cstddef>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

namespace qmb {

class LogLines {
  struct Line {
    // The line's text; while prefix is set, the bytes it shows after it.
    mutable std::string text;
    mutable const char* prefix = nullptr;
    const std::string& Text() const;
  };
  using Lines = std::deque<Line>;

 public:
  // Reads each line as its text; random access, as a deque's.
  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string*;
    using reference = const std::string&;

    const_iterator() = default;
    reference operator*() const { return at_->Text(); }
    pointer operator->() const { return &at_->Text(); }
    reference operator[](difference_type n) const { return at_[n].Text(); }
    const_iterator& operator++() { return ++at_, *this; }
    const_iterator operator++(int) { return const_iterator(at_++); }
    const_iterator& operator--() { return --at_, *this; }
    const_iterator operator--(int) { return const_iterator(at_--); }
    const_iterator& operator+=(difference_type n) { return at_ += n, *this; }
    const_iterator& operator-=(difference_type n) { return at_ -= n, *this; }
    friend const_iterator operator+(const_iterator i, difference_type n) { return i += n; }
    friend const_iterator operator+(difference_type n, const_iterator i) { return i += n; }
    friend const_iterator operator-(const_iterator i, difference_type n) { return i -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
      return a.at_ - b.at_;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) = default;
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) = default;

   private:
    friend class LogLines;
    explicit const_iterator(Lines::const_iterator at) : at_(at) {}
    Lines::const_iterator at_;
  };
  using iterator = const_iterator;
  using value_type = std::string;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using const_reference = const std::string&;
  using reference = const std::string&;

  LogLines() = default;
  LogLines(std::initializer_list<std::string> lines);
  LogLines& operator=(std::initializer_list<std::string> lines);

  void push_back(std::string line);
  // A line that reads prefix, then each byte as "[hh]". The prefix must outlive the line (a
  // literal).
  void PushBytes(const char* prefix, std::string_view bytes);
  void pop_front() { lines_.pop_front(); }
  void clear() { lines_.clear(); }

  size_t size() const { return lines_.size(); }
  bool empty() const { return lines_.empty(); }
  const std::string& operator[](size_t i) const { return lines_[i].Text(); }
  const std::string& at(size_t i) const { return lines_.at(i).Text(); }
  const std::string& front() const { return lines_.front().Text(); }
  const std::string& back() const { return lines_.back().Text(); }
  const_iterator begin() const { return const_iterator(lines_.begin()); }
  const_iterator end() const { return const_iterator(lines_.end()); }

  friend bool operator==(const LogLines& a, const LogLines& b);
  friend bool operator==(const LogLines& a, const std::deque<std::string>& b);

 private:
  Lines lines_;
};

}  // namespace qmb
