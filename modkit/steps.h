// The order in which modkit works. Each step is one well-separated piece of
// unpack.cpp and pack.cpp, between the ones around it.
//
// unpack (unpack.cpp):
//   1. the game: a folder (find_game_files) or a disc image (below)
//   2. both tables, with the layouts that read cleanly (detect_tables)
//   3. archive files into files/, pack members into files/fpack_extract/
//   4. every TIM2 image among them into images/ as PNG, on every core
//   5. texts into texts/texts.po (below)
//   6. .modkit/executable and .modkit/state, written last
//
// pack (pack.cpp):
//   1. digests of every file the state lists; edits and conflicts (status.h)
//   2. edited PNGs into their images (LZR with the optimal encoder), every core
//   3. changed texts into their .evd files (below)
//   4. changed members into their packs, only those packs, every core
//   5. views of files edited directly written again (members, PNGs)
//   6. every file into the new archive, every core, and the executable
//   7. a disc image, when the output is one (below)
//   8. the outputs, the workspace's changed files and the state, together
//
// Texts (modkit/texts.h). Unpack step 5: every .evd among the archive
// files and pack members goes to brenmark's library (dump_evd_texts,
// PoWriter), through the table given by `--table FILE`; the PO is written as
// texts/texts.po, the table as .modkit/table and each .evd as the original
// the PO describes below .modkit/texts/. Status and pack: when the PO's
// digest changed, it is applied whole to the originals (Translations::apply;
// fuzzy entries stay out) and the files whose result differs from the last
// written one are the changed texts; a .evd edited directly while the PO
// changed it is a conflict (Conflict{texts/texts.po, evd}); a .evd edited
// directly alone goes in as it is, and its entries are made again.
//
// Disc images. Unpack step 1: a `<game>` ending in .iso is opened with
// isopatch's library; the executable is read from it and the archive's
// files are extracted from RPK.BIN's range of the image. The state records
// the image's path, size and digest (source kind `image`). Pack step 7:
// when the output ends in .iso, the archive and executable go to staging
// files and write_patched_image writes a copy of the original image (whose
// digest is checked first) with both replaced; the original is only read.
