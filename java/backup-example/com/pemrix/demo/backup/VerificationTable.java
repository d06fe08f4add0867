package com.pemrix.demo.backup;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * The verification's result for people: one section per part of the backup, one row per item
 * with a cell per aspect compared ("same", "DIFFERENT", "missing", or "-" where the aspect does
 * not apply), and a last line with the verdict.
 */
final class VerificationTable {
    static final String SAME = "same";
    static final String DIFFERENT = "DIFFERENT";
    static final String MISSING = "missing";
    static final String NONE = "-";

    private static final class Row {
        final String item;
        final List<String> cells;
        final boolean ok;

        Row(String item, List<String> cells, boolean ok) {
            this.item = item;
            this.cells = cells;
            this.ok = ok;
        }
    }

    private static final class Section {
        final String title;
        final List<String> columns;
        final List<Row> rows = new ArrayList<>();

        Section(String title, List<String> columns) {
            this.title = title;
            this.columns = columns;
        }
    }

    private final Map<String, Section> sections = new LinkedHashMap<>();

    /** Starts a section (or returns the one of that title) with its column names. */
    void section(String title, String... columns) {
        sections.computeIfAbsent(title, t -> new Section(t, List.of(columns)));
    }

    /** Adds a row to a section; ok says whether it counts as matching. */
    void row(String title, String item, boolean ok, String... cells) {
        Section section = sections.get(title);
        if (section == null) {
            throw new IllegalStateException("no section " + title);
        }
        section.rows.add(new Row(item, List.of(cells), ok));
    }

    int rows() {
        int count = 0;
        for (Section section : sections.values()) {
            count += section.rows.size();
        }
        return count;
    }

    int mismatches() {
        int count = 0;
        for (Section section : sections.values()) {
            for (Row row : section.rows) {
                count += row.ok ? 0 : 1;
            }
        }
        return count;
    }

    /** The last line: IDENTICAL or DIFFERENT, with the counts. */
    String verdict() {
        int mismatches = mismatches();
        if (rows() == 0) {
            return "VERDICT: NOTHING VERIFIED - the archive holds nothing to compare";
        }
        if (mismatches == 0) {
            return "VERDICT: IDENTICAL - all " + rows() + " items match the archive";
        }
        return "VERDICT: DIFFERENT - " + mismatches + " of " + rows() + " items do not match the archive";
    }

    String render() {
        StringBuilder out = new StringBuilder();
        for (Section section : sections.values()) {
            int width = section.title.length();
            for (Row row : section.rows) {
                width = Math.max(width, row.item.length());
            }
            width = Math.min(width, 90);
            List<Integer> cellWidths = new ArrayList<>();
            for (int c = 0; c < section.columns.size(); c++) {
                int w = section.columns.get(c).length();
                for (Row row : section.rows) {
                    w = Math.max(w, c < row.cells.size() ? row.cells.get(c).length() : 0);
                }
                cellWidths.add(w);
            }
            out.append(pad(section.title + " (" + section.rows.size() + ")", width));
            for (int c = 0; c < section.columns.size(); c++) {
                out.append("  ").append(pad(section.columns.get(c), cellWidths.get(c)));
            }
            out.append('\n');
            for (Row row : section.rows) {
                out.append(pad(shorten(row.item, width), width));
                for (int c = 0; c < section.columns.size(); c++) {
                    out.append("  ").append(pad(c < row.cells.size() ? row.cells.get(c) : "", cellWidths.get(c)));
                }
                out.append('\n');
            }
            out.append('\n');
        }
        out.append(verdict()).append('\n');
        return out.toString().replaceAll(" +\n", "\n");
    }

    private static String pad(String text, int width) {
        return String.format(Locale.ROOT, "%-" + Math.max(width, 1) + "s", text);
    }

    /** A long path keeps its start and its end. */
    private static String shorten(String text, int width) {
        if (text.length() <= width) {
            return text;
        }
        int keep = (width - 3) / 2;
        return text.substring(0, keep) + "..." + text.substring(text.length() - (width - 3 - keep));
    }
}
