// What was edited in a workspace since unpack or the last pack: every file
// the state lists is compared, by digest, with what it held then.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "modkit/digest.h"
#include "modkit/progress.h"
#include "modkit/state.h"
#include "modkit/workspace.h"

/// Two views of the same data that were both edited: `pack` cannot tell
/// which one to take.
struct Conflict {
    std::string view;  ///< a PNG, a pack member, or texts/texts.po
    std::string file;  ///< the file it is a view of: the image, the pack, or the .evd
};

/// An .evd whose texts the PO changed since unpack or the last pack.
struct TextEdit {
    std::string file;
    std::size_t texts = 0;  ///< texts that differ from the file as it is
};

/// The edits found, each list in the model's order.
struct Edits {
    std::vector<std::string> files;    ///< archive files that are no pack, edited directly
    std::vector<std::string> packs;    ///< pack files edited directly
    std::vector<std::string> members;  ///< pack members edited directly
    /// Images with an edited PNG (into the model's images), and those PNGs.
    std::vector<std::size_t> images;
    std::vector<std::string> pngs;
    std::vector<std::string> missing;       ///< files below files/ that are gone
    std::vector<std::string> missing_pngs;  ///< PNGs that are gone (their pictures are kept)
    std::vector<Conflict> conflicts;
    bool executable_changed = false;  ///< .modkit/executable is not what was written
    bool po_edited = false;           ///< texts/texts.po differs from what was written
    bool po_missing = false;          ///< texts/texts.po is gone (the texts stay as they are)
    std::vector<TextEdit> texts;      ///< .evd files the PO changes, in the PO's order

    /// Whether anything is to be put back.
    bool any() const {
        return !files.empty() || !packs.empty() || !members.empty() || !pngs.empty() ||
               !texts.empty();
    }
};

/// What each file the state lists holds now: its digest, or nothing where it
/// is gone.
using CurrentDigests = std::map<std::string, std::optional<Digest>>;

/// Compares `now` with the state's digests (pure). A PNG edited while its
/// image was edited directly, and a member edited (directly or through the
/// PNG of its image) while its pack was edited directly, are conflicts.
Edits find_edits(const WorkspaceModel& model, const WorkspaceState& state,
                 const CurrentDigests& now);

/// Adds what the PO changes (pure): `applied[i]` is the digest of the .evd
/// the PO makes of text file i's original, `changed_texts[i]` how many of its
/// texts differ from the file as it is. An .evd that the PO changes and that
/// was edited directly too, or whose pack was, is a conflict.
void add_text_edits(const WorkspaceModel& model, const WorkspaceState& state,
                    const std::vector<Digest>& applied,
                    const std::vector<std::size_t>& changed_texts, Edits* edits);

struct AppliedTexts;

/// When texts/texts.po was edited: reads it, applies it to the originals
/// (`applied`) and adds what it changes to `edits` (add_text_edits).
bool find_text_edits(const OpenedWorkspace& w, Edits* edits, AppliedTexts* applied,
                     std::string* err);

/// Digests the files at the workspace paths `paths` on `workers` threads,
/// counting them in `progress`: `out[i]` is empty where nothing stands at
/// paths[i]. Stops with an error once `cancel` (if given) is set.
bool digest_paths(const Workspace& workspace, const std::vector<std::string>& paths,
                  unsigned workers, Progress& progress, std::vector<std::optional<Digest>>* out,
                  std::string* err, const std::atomic<bool>* cancel = nullptr);
/// Digests every file the state lists, on `workers` threads, counting the
/// files read in `progress`.
bool digest_workspace(const Workspace& workspace, const WorkspaceState& state, unsigned workers,
                      Progress& progress, CurrentDigests* out, std::string* err);

/// The report `modkit status` prints: one line per edit, missing file and
/// conflict, then a line of counts.
std::string status_report(const Edits& edits);

/// The message that stops a pack when there are conflicts: names both files
/// of the first, and how many there are.
std::string conflict_error(const Workspace& workspace, const Edits& edits);
