/* ntfs_oracle IMAGE: an NTFS image file as libntfs-3g enumerates it, in
 * the form ntfs_dump prints (one line per entry below the root, depth
 * first, each folder in the order of its index, walked in order as a
 * B+ tree: libntfs-3g's own readdir gives the root's entries first):
 *
 *   /path/of/entry <TAB> attributes <TAB> reparse tag <TAB> size <TAB> allocated
 *
 * Short (DOS) names and the volume's own files are no entries, as in a
 * listing. The tests compare this with ntfs_dump on the same image. */
/* The library's headers expect the system's types to be known already. */
#include <errno.h>
#include <inttypes.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/volume.h>

struct entry {
  ntfschar name[256];
  int size;
  MFT_REF mref;
};

struct listing {
  struct entry* entries;
  size_t count;
  size_t capacity;
};

static void append_utf8(char** out, uint32_t cp) {
  char* p = *out;
  if (cp < 0x80) {
    *p++ = (char)cp;
  } else if (cp < 0x800) {
    *p++ = (char)(0xC0 | (cp >> 6));
    *p++ = (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = (char)(0xE0 | (cp >> 12));
    *p++ = (char)(0x80 | ((cp >> 6) & 0x3F));
    *p++ = (char)(0x80 | (cp & 0x3F));
  } else {
    *p++ = (char)(0xF0 | (cp >> 18));
    *p++ = (char)(0x80 | ((cp >> 12) & 0x3F));
    *p++ = (char)(0x80 | ((cp >> 6) & 0x3F));
    *p++ = (char)(0x80 | (cp & 0x3F));
  }
  *out = p;
}

/* UTF-16 to UTF-8, an unpaired surrogate as U+FFFD. */
static char* utf8(char* out, const ntfschar* name, int size) {
  for (int i = 0; i < size; ++i) {
    uint32_t c = le16_to_cpu(name[i]);
    uint32_t next = i + 1 < size ? le16_to_cpu(name[i + 1]) : 0;
    if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    append_utf8(&out, c);
  }
  *out = 0;
  return out;
}

static void add(struct listing* l, const INDEX_ENTRY* ie) {
  const FILE_NAME_ATTR* fn = &ie->key.file_name;
  const MFT_REF mref = le64_to_cpu(ie->indexed_file);
  if (fn->file_name_type == FILE_NAME_DOS || MREF(mref) < FILE_first_user) return;
  if (l->count == l->capacity) {
    l->capacity = l->capacity ? 2 * l->capacity : 64;
    l->entries = realloc(l->entries, l->capacity * sizeof *l->entries);
    if (!l->entries) abort();
  }
  struct entry* e = &l->entries[l->count++];
  memcpy(e->name, fn->file_name, (size_t)fn->file_name_length * sizeof(ntfschar));
  e->size = fn->file_name_length;
  e->mref = mref;
}

struct index {
  ntfs_attr* allocation;
  u32 block_size;
  unsigned vcn_bits;
};

/* In order: everything below an entry comes before the entry itself. */
static void walk_node(const struct index* x, const INDEX_HEADER* ih, struct listing* l) {
  const u8* at = (const u8*)ih + le32_to_cpu(ih->entries_offset);
  for (;;) {
    const INDEX_ENTRY* ie = (const INDEX_ENTRY*)at;
    const u16 length = le16_to_cpu(ie->length);
    if (ie->ie_flags & INDEX_ENTRY_NODE) {
      const VCN vcn = sle64_to_cpu(*(const sle64*)(at + length - 8));
      INDEX_BLOCK* block = malloc(x->block_size);
      if (!block || !x->allocation ||
          ntfs_attr_mst_pread(x->allocation, vcn << x->vcn_bits, 1, x->block_size, block) != 1) {
        fprintf(stderr, "cannot read index block %lld\n", (long long)vcn);
        exit(1);
      }
      walk_node(x, &block->index, l);
      free(block);
    }
    if (ie->ie_flags & INDEX_ENTRY_END) return;
    add(l, ie);
    at += length;
  }
}

/* The folder's entries as its $I30 index keeps them. */
static void list_folder(ntfs_inode* dir, struct listing* l) {
  s64 size = 0;
  INDEX_ROOT* root = ntfs_attr_readall(dir, AT_INDEX_ROOT, NTFS_INDEX_I30, 4, &size);
  if (!root) {
    perror("index root");
    exit(1);
  }
  struct index x;
  x.block_size = le32_to_cpu(root->index_block_size);
  x.vcn_bits = x.block_size >= dir->vol->cluster_size ? dir->vol->cluster_size_bits : 9;
  x.allocation = ntfs_attr_open(dir, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4);
  walk_node(&x, &root->index, l);
  if (x.allocation) ntfs_attr_close(x.allocation);
  free(root);
}

static void print_entry(ntfs_inode* ni, const char* path) {
  const int directory = (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
  uint32_t attributes = (le32_to_cpu(ni->flags) & ~0x30000010u) | (directory ? 0x10u : 0);
  uint32_t tag = 0;
  s64 reparse_size = 0;
  void* reparse = ntfs_attr_readall(ni, AT_REPARSE_POINT, AT_UNNAMED, 0, &reparse_size);
  if (reparse) {
    if (reparse_size >= 4) memcpy(&tag, reparse, 4);
    free(reparse);
  }
  uint64_t size = 0;
  uint64_t allocated = 0;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  if (na) {
    size = (uint64_t)na->data_size;
    const int packed = (na->data_flags & (ATTR_COMPRESSION_MASK | ATTR_IS_SPARSE)) != 0;
    allocated = (uint64_t)(NAttrNonResident(na) && packed ? na->compressed_size : na->allocated_size);
    ntfs_attr_close(na);
  }
  printf("%s\t%08" PRIx32 "\t%08" PRIx32 "\t%" PRIu64 "\t%" PRIu64 "\n", path, attributes, tag, size,
         allocated);
}

static void walk(ntfs_volume* vol, ntfs_inode* dir, char* path, size_t path_size) {
  struct listing l = {0};
  list_folder(dir, &l);
  for (size_t i = 0; i < l.count; ++i) {
    path[path_size] = '/';
    char* end = utf8(path + path_size + 1, l.entries[i].name, l.entries[i].size);
    ntfs_inode* ni = ntfs_inode_open(vol, l.entries[i].mref);
    if (!ni) {
      perror(path);
      exit(1);
    }
    print_entry(ni, path);
    if (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) walk(vol, ni, path, (size_t)(end - path));
    ntfs_inode_close(ni);
  }
  free(l.entries);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: ntfs_oracle IMAGE\n");
    return 2;
  }
  ntfs_log_clear_levels(~0u);
  ntfs_volume* vol = ntfs_mount(argv[1], NTFS_MNT_RDONLY);
  if (!vol) {
    perror(argv[1]);
    return 1;
  }
  ntfs_inode* root = ntfs_inode_open(vol, FILE_root);
  if (!root) {
    perror("root");
    return 1;
  }
  /* Each level adds at most 255 UTF-16 units, 3 bytes each, and a '/'. */
  static char path[1 << 22];
  walk(vol, root, path, 0);
  ntfs_inode_close(root);
  ntfs_umount(vol, FALSE);
  return 0;
}
