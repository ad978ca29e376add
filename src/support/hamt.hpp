#pragma once
// A persistent hash map: a hash array mapped trie. The hash is read as
// 5-bit digits, each taken in two steps, its top two bits and then its low
// three, so a node has at most 4 or 8 slots: a new version copies a path of
// nodes of 48 to 80 bytes of pointers rather than 32-slot ones of 272, and
// a million-key map changes by well under a kilobyte per version.
//
// PersistentTrie stores whole entries of a type of the caller's choosing
// and finds them by the key that KeyOf::key(entry) gives (what Hash and Eq
// take), so an entry can carry more than a key and a value without a
// second trie beside it. PersistentMap is the key -> value map built on it.
//
// Copying a map is O(1): the copy shares the root. Nodes are reference
// counted and never change while more than one map can reach them, so an
// update of one map is never seen by another. `insert_or_assign` rebuilds
// only the path from the root to the changed slot, and only the part of that
// path that is still shared: nodes that this map alone reaches (because it
// built them, e.g. by the previous insert) are updated in place. Adding k
// keys to a fresh copy of an n-entry map therefore costs O(k log n), and
// building a map from scratch copies nothing.
//
// Nodes carry an intrusive atomic count rather than being held by
// std::shared_ptr: a node is one allocation (header, child pointers and
// entries inline, sized exactly), a child pointer is one word, and the
// in-place path needs a reliable "only owner" test that shared_ptr does not
// offer. The count is atomic so that maps may be copied and dropped on
// several threads at once; mutating one map object concurrently with any
// other use of that same object is a data race, as for standard containers.
// Maps that one outside lock already serialises may use SerialCount instead
// (the Count parameter) and skip the atomic operations.
//
// Iteration order: ascending order of the key hashes read as a sequence of
// 5-bit digits from the least significant end (digit 0 = bits 0..4, digit
// 1 = bits 5..9, ...), compared digit by digit. Keys whose full hashes are
// equal come in the order in which they were first inserted. The order thus
// depends only on the contents (and, for full collisions, on their history),
// never on where a copy came from, so every copy of a map iterates alike.
//
// Values and keys are copied, moved and destroyed only through their own
// constructors, assignment and destructors. An update that throws (an
// allocation or a copy constructor) leaves the map unchanged. An overwritten
// value is destroyed only after the map is consistent again, so a destructor
// that runs arbitrary code sees a whole map.
//
// Pointers from `find` and iterators stay valid as long as the map object
// they came from is neither updated in place nor destroyed; other maps'
// updates never affect them.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <new>
#include <ranges>
#include <type_traits>
#include <utility>
#include <vector>

namespace olvex::support {

// A node count for maps whose every copy, update and drop is serialised by
// one lock outside the map (the Python interpreter lock, say): the same
// interface as the atomic count, without atomic read-modify-write, which on
// a long path copy is most of the cost.
class SerialCount {
 public:
  explicit SerialCount(std::size_t n) noexcept : n_(n) {}
  std::size_t fetch_add(std::size_t d, std::memory_order) noexcept { return std::exchange(n_, n_ + d); }
  std::size_t fetch_sub(std::size_t d, std::memory_order) noexcept { return std::exchange(n_, n_ - d); }
  std::size_t load(std::memory_order) const noexcept { return n_; }

 private:
  std::size_t n_;
};

// A SerialCount for maps that are all, process-wide, used under the one
// lock (not merely each map under a lock of its own): their freed nodes
// are kept, a few of each size, for the next nodes of that size, since a
// map that gets a new version for every one it drops frees and allocates
// the same few nodes again and again.
class ProcessSerialCount : public SerialCount {
 public:
  using SerialCount::SerialCount;
  static constexpr bool kKeepsSpareNodes = true;
};

template <class Count>
concept KeepsSpareNodes = requires { requires Count::kKeepsSpareNodes; };

// Freed blocks of up to kMaxBytes, at most kPerSize of each size (a
// multiple of 8), each linked through its first word. Never freed itself:
// it holds under 17 KB, whatever the work.
class SpareNodes {
 public:
  static constexpr std::size_t kMaxBytes = 256;
  static constexpr std::size_t kPerSize = 4;

  static constexpr bool fits(std::size_t bytes) noexcept { return bytes <= kMaxBytes && bytes % 8 == 0; }

  void* take(std::size_t bytes) noexcept {
    Bin& b = bins_[bytes / 8];
    if (!b.head) return nullptr;
    Block* block = b.head;
    b.head = block->next;
    --b.count;
    return block;
  }
  // Whether the block was kept; if not, the caller frees it.
  bool give(void* raw, std::size_t bytes) noexcept {
    Bin& b = bins_[bytes / 8];
    if (b.count == kPerSize) return false;
    auto* block = ::new (raw) Block{b.head};
    b.head = block;
    ++b.count;
    return true;
  }

 private:
  struct Block {
    Block* next;
  };
  struct Bin {
    Block* head = nullptr;
    std::size_t count = 0;
  };
  Bin bins_[kMaxBytes / 8 + 1]{};
};

// Hands out a range's elements as rvalues, for a map built to take them
// over. Unlike std::move_iterator, which C++20 makes an input iterator only,
// it is a forward iterator, so a map built from it takes the bulk build.
template <std::forward_iterator It>
class MovingIterator {
 public:
  using iterator_concept = std::forward_iterator_tag;
  using value_type = std::iter_value_t<It>;
  using difference_type = std::iter_difference_t<It>;

  MovingIterator() = default;
  explicit MovingIterator(It it) : it_(std::move(it)) {}

  decltype(auto) operator*() const { return std::ranges::iter_move(it_); }
  MovingIterator& operator++() {
    ++it_;
    return *this;
  }
  MovingIterator operator++(int) {
    MovingIterator before = *this;
    ++it_;
    return before;
  }
  friend bool operator==(const MovingIterator&, const MovingIterator&) = default;

 private:
  It it_{};
};

template <class Entry, class KeyOf, class Hash, class Eq, class Count = std::atomic<std::size_t>>
class PersistentTrie {
 public:
  using key_type = std::remove_cvref_t<decltype(KeyOf::key(std::declval<const Entry&>()))>;
  using value_type = Entry;
  using size_type = std::size_t;
  using hasher = Hash;
  using key_equal = Eq;
  class const_iterator;
  using iterator = const_iterator;

  PersistentTrie() = default;
  explicit PersistentTrie(const Hash& hash, const Eq& eq = Eq()) : hash_(hash), eq_(eq) {}

  // Builds from entries; a key that occurs again overwrites the entry but
  // keeps its first place among full collisions, as repeated inserts would.
  // From a multi-pass range of entries (builds_in_bulk) the trie is built
  // in one go: each node is allocated once at its final size and each entry
  // constructed once, straight from the source (moved out of it through
  // MovingIterator). Other ranges are inserted one by one, into nodes that
  // belong to this map alone and so change in place.
  template <std::input_iterator It>
  PersistentTrie(It first, It last, const Hash& hash = Hash(), const Eq& eq = Eq())
      : hash_(hash), eq_(eq) {
    if constexpr (builds_in_bulk<It>()) {
      BulkBuild<It> bulk(hash_, eq_);
      root_ = bulk.run(first, last, size_);
    } else {
      for (; first != last; ++first) insert_or_assign(Entry(*first));
    }
  }
  // Whether construction from [It, It) takes the one-go build.
  template <class It>
  static constexpr bool builds_in_bulk() {
    if constexpr (std::forward_iterator<It> && std::is_reference_v<std::iter_reference_t<It>>) {
      return std::is_same_v<std::remove_cvref_t<std::iter_reference_t<It>>, Entry>;
    } else {
      return false;
    }
  }

  PersistentTrie(std::initializer_list<value_type> items, const Hash& hash = Hash(),
                 const Eq& eq = Eq())
      : PersistentTrie(items.begin(), items.end(), hash, eq) {}

  PersistentTrie(const PersistentTrie& other)
      : root_(other.root_), size_(other.size_), hash_(other.hash_), eq_(other.eq_) {
    if (root_) retain(root_);
  }
  PersistentTrie(PersistentTrie&& other) noexcept(std::is_nothrow_move_constructible_v<Hash> &&
                                                  std::is_nothrow_move_constructible_v<Eq>)
      : root_(std::exchange(other.root_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        hash_(std::move(other.hash_)),
        eq_(std::move(other.eq_)) {}
  PersistentTrie& operator=(PersistentTrie other) noexcept {
    swap(other);
    return *this;
  }
  ~PersistentTrie() {
    if (root_) release(root_, 0);
  }

  void swap(PersistentTrie& other) noexcept {
    using std::swap;
    swap(root_, other.root_);
    swap(size_, other.size_);
    swap(hash_, other.hash_);
    swap(eq_, other.eq_);
  }

  size_type size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // The hash the map files `key` under, for a find and an insert of the
  // same key that would otherwise each compute it.
  std::size_t hash_of(const key_type& key) const { return static_cast<std::size_t>(hash_(key)); }

  // The entry stored under key, or nullptr.
  const Entry* find(const key_type& key) const { return find(key, hash_of(key)); }
  // The same, with h = hash_of(key).
  const Entry* find(const key_type& key, std::size_t h) const {
    const Node* node = root_;
    if (!node) return nullptr;
    for (unsigned depth = 0; depth < kLevels; ++depth) {
      const std::uint32_t bit = slot_bit(h, depth);
      if (node->nodemap & bit) {
        node = children(node)[rank(node->nodemap, bit)];
        continue;
      }
      if (!(node->datamap & bit)) return nullptr;
      const value_type& e = entries(node)[rank(node->datamap, bit)];
      return eq_(KeyOf::key(e), key) ? &e : nullptr;
    }
    const value_type* ents = bucket_entries(node);
    for (std::uint32_t i = 0; i < node->datamap; ++i) {
      if (eq_(KeyOf::key(ents[i]), key)) return &ents[i];
    }
    return nullptr;
  }

  // Stores the entry in this map, in place of one with an equal key (which
  // keeps its place); returns true when the key is new. Nodes shared with
  // other maps are copied, nodes of this map alone are changed in place.
  bool insert_or_assign(Entry entry) {
    const std::size_t h = hash_of(KeyOf::key(entry));
    return store(entry, h);
  }
  // The same, with h = hash_of(the entry's key).
  bool insert_or_assign(Entry entry, std::size_t h) { return store(entry, h); }

  const_iterator begin() const { return const_iterator(root_); }
  const_iterator end() const noexcept { return const_iterator(); }
  const_iterator cbegin() const { return begin(); }
  const_iterator cend() const noexcept { return end(); }

  // Calls f(entry) for each entry that this map alone reaches: every node on
  // the way from the root to it has no other owner. Entries in nodes shared
  // with other maps are skipped, so an owner that reports what it holds (to
  // a cycle collector, say) never counts one stored entry once per map.
  // Stops at, and returns, the first non-zero result of f; 0 otherwise.
  // Allocates nothing. The same threading rule as for updates applies: no
  // other thread may copy or drop maps sharing these nodes meanwhile.
  template <class F>
  int for_each_exclusive(F&& f) const {
    if (!root_ || !is_unique(root_)) return 0;
    return visit_exclusive(root_, 0, f);
  }

 protected:
  // insert_or_assign of the entry in `entry`, which is left holding what it
  // overwrote (or what is left of it), to die with the caller's object.
  bool store(Entry& entry, std::size_t h) {
    if (!root_) {
      root_ = make_leaf(0, h, entry);
      size_ = 1;
      return true;
    }
    bool inserted = false;
    const bool owned = is_unique(root_);
    Node* old = root_;
    Node* fresh = insert_trie(old, 0, owned, h, entry, inserted);
    if (fresh != old) {
      root_ = fresh;
      if (!owned) release(old, 0);
    }
    if (inserted) ++size_;
    return inserted;
  }

 private:
  // Trie node header. A trie node at depth d < kLevels has one slot per
  // value of its part of the hash (slot_of): `datamap` marks slots holding
  // an entry, `nodemap` slots holding a child. A node at depth kLevels is a
  // bucket of keys whose full hashes are equal: `datamap` is its entry
  // count.
  // Layout: header, child pointers, entries, in one allocation.
  struct Node {
    Count refs{1};
    std::uint32_t datamap = 0;
    std::uint32_t nodemap = 0;
  };

  static constexpr unsigned kBits = 5;
  static constexpr unsigned kHashBits = std::numeric_limits<std::size_t>::digits;
  static constexpr unsigned kLevels = 2 * ((kHashBits + kBits - 1) / kBits);
  static constexpr std::size_t kAlign = std::max(alignof(Node), alignof(value_type));
  static constexpr bool kOverAligned = kAlign > __STDCPP_DEFAULT_NEW_ALIGNMENT__;

  static constexpr std::size_t round_up(std::size_t n, std::size_t a) {
    return (n + a - 1) / a * a;
  }
  static constexpr std::size_t kChildOffset = round_up(sizeof(Node), alignof(Node*));
  static constexpr std::size_t entry_offset(unsigned nchildren) {
    return round_up(kChildOffset + nchildren * sizeof(Node*), alignof(value_type));
  }

  // Depth 2k takes the top two bits of digit k, depth 2k + 1 its low three:
  // the top bits decide first, so the order is still that of the digits.
  static std::uint32_t slot_of(std::size_t h, unsigned depth) {
    const unsigned shift = depth / 2 * kBits + (depth % 2 ? 0 : 3);
    if (shift >= kHashBits) return 0;  // the top digit of a hash whose width 5 does not divide
    return static_cast<std::uint32_t>(h >> shift) & (depth % 2 ? 7u : 3u);
  }
  static std::uint32_t slot_bit(std::size_t h, unsigned depth) {
    return std::uint32_t{1} << slot_of(h, depth);
  }
  // A node has at most 8 slots (slot_of), so its maps fit in a byte; without a
  // popcount instruction in the target (baseline x86-64, where
  // std::popcount becomes a library call) a table of the 256 bytes' counts
  // is one load where a bit-parallel count is a dozen instructions.
  struct ByteCounts {
    std::uint8_t n[256];
    constexpr ByteCounts() : n() {
      for (unsigned i = 1; i < 256; ++i) n[i] = static_cast<std::uint8_t>(n[i / 2] + (i & 1));
    }
  };
  static constexpr ByteCounts kByteCounts{};
  static unsigned count(std::uint32_t x) {
#if defined(__POPCNT__) || !(defined(__x86_64__) || defined(__i386__))
    return static_cast<unsigned>(std::popcount(x));
#else
    return kByteCounts.n[static_cast<std::uint8_t>(x)];
#endif
  }
  static unsigned rank(std::uint32_t map, std::uint32_t bit) { return count(map & (bit - 1)); }

  static Node** children(const Node* n) {
    auto* base = reinterpret_cast<char*>(const_cast<Node*>(n));
    return std::launder(reinterpret_cast<Node**>(base + kChildOffset));
  }
  static value_type* entries_at(const Node* n, unsigned nchildren) {
    auto* base = reinterpret_cast<char*>(const_cast<Node*>(n));
    return std::launder(reinterpret_cast<value_type*>(base + entry_offset(nchildren)));
  }
  static value_type* entries(const Node* n) { return entries_at(n, count(n->nodemap)); }
  static value_type* bucket_entries(const Node* n) { return entries_at(n, 0); }
  static unsigned entry_count(const Node* n, unsigned depth) {
    return depth == kLevels ? n->datamap : count(n->datamap);
  }

  static constexpr bool kSpares = KeepsSpareNodes<Count> && !kOverAligned;
  // One per map type; constant-initialised and trivially destroyed, so a
  // map dropped during the program's exit still finds it.
  static constinit inline SpareNodes spares_{};

  static std::size_t node_bytes(unsigned nentries, unsigned nchildren) noexcept {
    return entry_offset(nchildren) + nentries * sizeof(value_type);
  }
  static Node* allocate(std::uint32_t datamap, std::uint32_t nodemap, unsigned nentries,
                        unsigned nchildren) {
    const std::size_t bytes = node_bytes(nentries, nchildren);
    void* raw = nullptr;
    if constexpr (kSpares) {
      if (SpareNodes::fits(bytes)) raw = spares_.take(bytes);
    }
    if (!raw) {
      raw = kOverAligned ? ::operator new(bytes, std::align_val_t{kAlign}) : ::operator new(bytes);
    }
    Node* n = ::new (raw) Node;
    n->datamap = datamap;
    n->nodemap = nodemap;
    return n;
  }
  // `n` was allocated with `bytes`, and its entries are destroyed already.
  // A node is made at the exact size of what its maps say it holds, and its
  // maps never change, so its owner can always tell that size.
  static void deallocate(Node* n, [[maybe_unused]] std::size_t bytes) noexcept {
    n->~Node();
    if constexpr (kSpares) {
      if (SpareNodes::fits(bytes) && spares_.give(static_cast<void*>(n), bytes)) return;
    }
    if constexpr (kOverAligned) {
      ::operator delete(static_cast<void*>(n), std::align_val_t{kAlign});
    } else {
      ::operator delete(static_cast<void*>(n));
    }
  }

  static void retain(Node* n) noexcept { n->refs.fetch_add(1, std::memory_order_relaxed); }
  // Acquire pairs with the release of every former owner's decrement, so
  // their reads of the node happen before our writes to it.
  static bool is_unique(const Node* n) noexcept {
    return n->refs.load(std::memory_order_acquire) == 1;
  }
  // The decrement stays inline: dropping a node releases every child, and
  // most of them live on in other maps.
  static void release(Node* n, unsigned depth) noexcept {
    if (n->refs.fetch_sub(1, std::memory_order_release) != 1) return;
    destroy_node(n, depth);
  }
  [[gnu::noinline]] static void destroy_node(Node* n, unsigned depth) noexcept {
    std::atomic_thread_fence(std::memory_order_acquire);
    const unsigned nc = depth == kLevels ? 0 : count(n->nodemap);
    destroy_entries(entries_at(n, nc), entry_count(n, depth));
    Node** kids = children(n);
    for (unsigned i = 0; i < nc; ++i) release(kids[i], depth + 1);
    deallocate(n, node_bytes(entry_count(n, depth), nc));
  }
  static void destroy_entries(value_type* ents, unsigned n) noexcept {
    for (unsigned i = 0; i < n; ++i) ents[i].~value_type();
  }
  template <class F>
  static int visit_exclusive(const Node* n, unsigned depth, F& f) {
    const unsigned nc = depth == kLevels ? 0 : count(n->nodemap);
    const value_type* ents = entries_at(n, nc);
    for (unsigned i = 0, ne = entry_count(n, depth); i < ne; ++i) {
      if (int r = f(ents[i])) return r;
    }
    Node* const* kids = children(n);
    for (unsigned i = 0; i < nc; ++i) {
      if (!is_unique(kids[i])) continue;
      if (int r = visit_exclusive(kids[i], depth + 1, f)) return r;
    }
    return 0;
  }
  // Frees a node whose entries were moved into its replacement and whose
  // children were handed over to it.
  static void retire(Node* n, unsigned depth) noexcept {
    const unsigned nc = depth == kLevels ? 0 : count(n->nodemap);
    destroy_entries(entries_at(n, nc), entry_count(n, depth));
    deallocate(n, node_bytes(entry_count(n, depth), nc));
  }

  // Builds one node; if building fails, what was built is destroyed.
  class Builder {
   public:
    Builder(std::uint32_t datamap, std::uint32_t nodemap, unsigned nentries, unsigned nchildren)
        : node_(allocate(datamap, nodemap, nentries, nchildren)),
          dst_(entries_at(node_, nchildren)),
          bytes_(node_bytes(nentries, nchildren)) {}
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;
    ~Builder() {
      if (node_) {
        destroy_entries(dst_, built_);
        deallocate(node_, bytes_);
      }
    }
    template <class... Args>
    void emplace(Args&&... args) {
      ::new (static_cast<void*>(dst_ + built_)) value_type(std::forward<Args>(args)...);
      ++built_;
    }
    // Takes an entry of a node being replaced: moved from a node of ours
    // (unless moving could throw), copied from a shared one.
    void take(value_type& e, bool owned) {
      if (owned) {
        emplace(std::move_if_noexcept(e));
      } else {
        emplace(std::as_const(e));
      }
    }
    void take_range(value_type* src, unsigned n, bool owned) {
      for (unsigned i = 0; i < n; ++i) take(src[i], owned);
    }
    void emplace_new(Entry& entry) { emplace(std::move_if_noexcept(entry)); }
    Node* node() const { return node_; }
    Node* done() { return std::exchange(node_, nullptr); }

   private:
    Node* node_;
    value_type* dst_;
    unsigned built_ = 0;
    std::size_t bytes_;
  };



  // Builds a trie from a range in one pass per level: the items of a slot
  // are partitioned by the next digit with a stable counting sort, so that
  // the source order survives down to the buckets.
  template <class It>
  class BulkBuild {
   public:
    BulkBuild(const Hash& hash, const Eq& eq) : hash_(hash), eq_(eq) {}

    Node* run(It first, It last, size_type& size) {
      items_.reserve(static_cast<std::size_t>(std::distance(first, last)));
      for (; first != last; ++first) {
        items_.push_back({static_cast<std::size_t>(hash_(key(first))), first, first});
      }
      if (items_.empty()) return nullptr;
      tmp_ = items_;
      size_type n = 0;
      Node* root = build(0, items_.size(), 0, n, false);
      size = n;
      return root;
    }

   private:
    struct Item {
      std::size_t hash;
      It key;    // source of the key: its first occurrence
      It value;  // source of the value: its last occurrence
    };
    using Ref = std::iter_reference_t<It>;

    static decltype(auto) key(const It& it) { return KeyOf::key(*it); }
    // The entry of the last occurrence, in the place of the first.
    static void emplace(Builder& b, const Item& item) { b.emplace(static_cast<Ref>(*item.value)); }

    // Items [lo, hi) share their hash digits above `depth`; `unique` says
    // that they are distinct keys of one full hash.
    Node* build(std::size_t lo, std::size_t hi, unsigned depth, size_type& size, bool unique) {
      if (depth == kLevels) {
        const auto n = static_cast<unsigned>(hi - lo);
        Builder b(n, 0, n, 0);
        for (std::size_t i = lo; i < hi; ++i) emplace(b, items_[i]);
        size += n;
        return b.done();
      }
      std::size_t end[32] = {};
      for (std::size_t i = lo; i < hi; ++i) ++end[slot_of(items_[i].hash, depth)];
      std::size_t pos[32];
      for (std::size_t d = 0, at = lo; d < 32; ++d) {
        pos[d] = at;
        at += end[d];
        end[d] = at;
      }
      for (std::size_t i = lo; i < hi; ++i) {
        tmp_[pos[slot_of(items_[i].hash, depth)]++] = items_[i];
      }
      std::copy(tmp_.begin() + static_cast<std::ptrdiff_t>(lo),
                tmp_.begin() + static_cast<std::ptrdiff_t>(hi),
                items_.begin() + static_cast<std::ptrdiff_t>(lo));

      std::uint32_t datamap = 0, nodemap = 0;
      std::size_t ents[32];
      Node* kids[32];
      unsigned ne = 0, nc = 0;
      try {
        for (std::size_t d = 0, start = lo; d < 32; start = end[d], ++d) {
          if (end[d] == start) continue;
          bool one_hash = unique;
          const std::size_t stop = unique ? end[d] : dedupe(start, end[d], one_hash);
          const std::uint32_t bit = std::uint32_t{1} << d;
          if (stop - start == 1) {
            datamap |= bit;
            ents[ne++] = start;
          } else {
            kids[nc] = build(start, stop, depth + 1, size, one_hash);
            ++nc;
            nodemap |= bit;
          }
        }
        Builder b(datamap, nodemap, ne, nc);
        for (unsigned i = 0; i < ne; ++i) emplace(b, items_[ents[i]]);
        std::copy(kids, kids + nc, children(b.node()));
        size += ne;
        return b.done();
      } catch (...) {
        for (unsigned i = 0; i < nc; ++i) release(kids[i], depth + 1);
        throw;
      }
    }

    // If items [lo, hi) are of one full hash, collapses repeated keys (the
    // first occurrence keeps its place, the last gives the value) and sets
    // one_hash; returns the new end.
    std::size_t dedupe(std::size_t lo, std::size_t hi, bool& one_hash) {
      const std::size_t h = items_[lo].hash;
      for (std::size_t i = lo + 1; i < hi; ++i) {
        if (items_[i].hash != h) return hi;
      }
      one_hash = true;
      std::size_t out = lo + 1;
      for (std::size_t i = lo + 1; i < hi; ++i) {
        std::size_t j = lo;
        while (j < out && !eq_(key(items_[j].key), key(items_[i].key))) ++j;
        if (j < out) {
          items_[j].value = items_[i].value;
        } else {
          items_[out++] = items_[i];
        }
      }
      return out;
    }

    const Hash& hash_;
    const Eq& eq_;
    std::vector<Item> items_, tmp_;
  };

  // Puts `entry` in the place of `stored`, whose key is equal, and leaves
  // the one it replaces in `entry`. KeyOf may say how (a pair keeps its
  // stored key and swaps only the value).
  static void replace(value_type& stored, Entry& entry) {
    if constexpr (requires { KeyOf::replace(stored, entry); }) {
      KeyOf::replace(stored, entry);
    } else {
      using std::swap;
      swap(stored, entry);
    }
  }

  // Copies child pointers; a shared node's children gain one owner each.
  static void hand_over(Node** dst, Node* const* src, unsigned n, bool owned) {
    for (unsigned i = 0; i < n; ++i) {
      dst[i] = src[i];
      if (!owned) retain(src[i]);
    }
  }

  // A subtree at `depth` holding only the new entry.
  static Node* make_leaf(unsigned depth, std::size_t h, Entry& entry) {
    Builder b(depth == kLevels ? 1 : slot_bit(h, depth), 0, 1, 0);
    b.emplace_new(entry);
    return b.done();
  }

  // A subtree at `depth` holding a copy of `old` (hash h1) and the new entry
  // (hash h2), the two hashes agreeing on every digit above `depth`.
  static Node* make_pair_tree(unsigned depth, std::size_t h1, const value_type& old,
                              std::size_t h2, Entry& entry) {
    if (depth == kLevels) {
      Builder b(2, 0, 2, 0);
      b.emplace(old);
      b.emplace_new(entry);
      return b.done();
    }
    const std::uint32_t b1 = slot_bit(h1, depth), b2 = slot_bit(h2, depth);
    if (b1 != b2) {
      Builder b(b1 | b2, 0, 2, 0);
      if (b1 < b2) {
        b.emplace(old);
        b.emplace_new(entry);
      } else {
        b.emplace_new(entry);
        b.emplace(old);
      }
      return b.done();
    }
    Node* child = make_pair_tree(depth + 1, h1, old, h2, entry);
    Node* n;
    try {
      n = allocate(0, b1, 0, 1);
    } catch (...) {
      release(child, depth + 1);
      throw;
    }
    children(n)[0] = child;
    return n;
  }

  static Node* insert_bucket(Node* node, bool owned, Entry& entry, bool& inserted, const Eq& eq) {
    const unsigned n = node->datamap;
    value_type* ents = bucket_entries(node);
    for (unsigned i = 0; i < n; ++i) {
      if (!eq(KeyOf::key(ents[i]), KeyOf::key(entry))) continue;
      inserted = false;
      if (owned) {
        replace(ents[i], entry);
        return node;
      }
      Builder b(n, 0, n, 0);
      b.take_range(ents, i, false);
      b.emplace_new(entry);
      b.take_range(ents + i + 1, n - i - 1, false);
      return b.done();
    }
    inserted = true;
    Builder b(n + 1, 0, n + 1, 0);
    b.take_range(ents, n, owned);
    b.emplace_new(entry);
    Node* fresh = b.done();
    if (owned) retire(node, kLevels);
    return fresh;
  }

  // Returns the node that takes `node`'s place: `node` itself if it was
  // changed in place, else a new node. `owned` says that this map alone
  // reaches `node`; then a replaced node has been retired here, else it is
  // left untouched and its owners keep it.
  Node* insert_trie(Node* node, unsigned depth, bool owned, std::size_t h, Entry& entry,
                    bool& inserted) {
    if (depth == kLevels) return insert_bucket(node, owned, entry, inserted, eq_);
    const std::uint32_t bit = slot_bit(h, depth);
    const std::uint32_t dm = node->datamap, nm = node->nodemap;
    const unsigned ne = count(dm), nc = count(nm);
    Node** kids = children(node);
    value_type* ents = entries_at(node, nc);

    if (nm & bit) {
      const unsigned ci = rank(nm, bit);
      Node* child = kids[ci];
      const bool child_owned = owned && is_unique(child);
      Node* fresh = insert_trie(child, depth + 1, child_owned, h, entry, inserted);
      if (fresh == child) return node;
      if (owned) {
        kids[ci] = fresh;
        if (!child_owned) release(child, depth + 1);
        return node;
      }
      try {
        Builder b(dm, nm, ne, nc);
        b.take_range(ents, ne, false);
        Node** dst = children(b.node());
        hand_over(dst, kids, ci, false);
        dst[ci] = fresh;
        hand_over(dst + ci + 1, kids + ci + 1, nc - ci - 1, false);
        return b.done();
      } catch (...) {
        release(fresh, depth + 1);
        throw;
      }
    }

    if (dm & bit) {
      const unsigned ei = rank(dm, bit);
      value_type& e = ents[ei];
      if (eq_(KeyOf::key(e), KeyOf::key(entry))) {
        inserted = false;
        if (owned) {
          replace(e, entry);
          return node;
        }
        Builder b(dm, nm, ne, nc);
        b.take_range(ents, ei, false);
        b.emplace_new(entry);
        b.take_range(ents + ei + 1, ne - ei - 1, false);
        hand_over(children(b.node()), kids, nc, false);
        return b.done();
      }
      // Another key holds the slot: both move one level down.
      inserted = true;
      Node* sub =
          make_pair_tree(depth + 1, static_cast<std::size_t>(hash_(KeyOf::key(e))), e, h, entry);
      const unsigned ci = rank(nm, bit);
      try {
        Builder b(dm & ~bit, nm | bit, ne - 1, nc + 1);
        b.take_range(ents, ei, owned);
        b.take_range(ents + ei + 1, ne - ei - 1, owned);
        Node** dst = children(b.node());
        hand_over(dst, kids, ci, owned);
        dst[ci] = sub;
        hand_over(dst + ci + 1, kids + ci, nc - ci, owned);
        Node* fresh = b.done();
        if (owned) retire(node, depth);
        return fresh;
      } catch (...) {
        release(sub, depth + 1);
        throw;
      }
    }

    inserted = true;
    const unsigned ei = rank(dm, bit);
    Builder b(dm | bit, nm, ne + 1, nc);
    b.take_range(ents, ei, owned);
    b.emplace_new(entry);
    b.take_range(ents + ei, ne - ei, owned);
    hand_over(children(b.node()), kids, nc, owned);
    Node* fresh = b.done();
    if (owned) retire(node, depth);
    return fresh;
  }

  Node* root_ = nullptr;
  size_type size_ = 0;
  [[no_unique_address]] Hash hash_{};
  [[no_unique_address]] Eq eq_{};

 public:
  // Forward iterator over (key, value) pairs in the order described above.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = PersistentTrie::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    const_iterator() noexcept = default;

    reference operator*() const noexcept { return *cur_; }
    pointer operator->() const noexcept { return cur_; }
    const_iterator& operator++() {
      advance();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      advance();
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.cur_ == b.cur_;
    }

   private:
    friend class PersistentTrie;

    // One frame per trie level on the way down: the node and the slots of
    // it not visited yet (for a bucket: the index of the next entry).
    struct Frame {
      const Node* node;
      std::uint32_t pending;
    };

    explicit const_iterator(const Node* root) {
      if (!root) return;
      stack_[0] = {root, root->datamap | root->nodemap};
      depth_ = 0;
      advance();
    }

    void advance() {
      while (depth_ >= 0) {
        Frame& f = stack_[depth_];
        const Node* n = f.node;
        if (static_cast<unsigned>(depth_) == kLevels) {
          if (f.pending < n->datamap) {
            cur_ = &bucket_entries(n)[f.pending++];
            return;
          }
          --depth_;
          continue;
        }
        if (f.pending == 0) {
          --depth_;
          continue;
        }
        const std::uint32_t bit = f.pending & (~f.pending + 1);
        f.pending &= f.pending - 1;
        if (n->datamap & bit) {
          cur_ = &entries(n)[rank(n->datamap, bit)];
          return;
        }
        const Node* child = children(n)[rank(n->nodemap, bit)];
        ++depth_;
        stack_[depth_] = {child, static_cast<unsigned>(depth_) == kLevels
                                     ? 0u
                                     : child->datamap | child->nodemap};
      }
      cur_ = nullptr;
    }

    const value_type* cur_ = nullptr;
    int depth_ = -1;
    Frame stack_[kLevels + 1] = {};
  };
};

// The key of a (key, value) pair.
struct PairFirst {
  template <class Pair>
  static const auto& key(const Pair& p) noexcept {
    return p.first;
  }
  // An overwrite in place swaps the values only: the keys are equal.
  template <class Pair>
  static void replace(Pair& stored, Pair& incoming) {
    using std::swap;
    swap(stored.second, incoming.second);
  }
};

// Key -> value, with the interface of the standard maps' basics.
template <class Key, class Value, class Hash = std::hash<Key>, class Eq = std::equal_to<Key>,
          class Count = std::atomic<std::size_t>>
class PersistentMap : public PersistentTrie<std::pair<Key, Value>, PairFirst, Hash, Eq, Count> {
  using Base = PersistentTrie<std::pair<Key, Value>, PairFirst, Hash, Eq, Count>;

 public:
  using mapped_type = Value;
  using typename Base::value_type;
  using Base::Base;

  // The value stored under key, or nullptr.
  const Value* find(const Key& key) const {
    const value_type* e = Base::find(key);
    return e ? &e->second : nullptr;
  }

  // Stores value under key in this map; returns true when the key is new.
  bool insert_or_assign(Key key, Value value) {
    value_type entry(std::move(key), std::move(value));
    return Base::store(entry, Base::hash_of(entry.first));
  }

  // A new map with value stored under key; this map is unchanged.
  PersistentMap set(Key key, Value value) const {
    PersistentMap copy(*this);
    copy.insert_or_assign(std::move(key), std::move(value));
    return copy;
  }
};

}  // namespace olvex::support
