#!/usr/bin/env python3
"""Checks a PDF against the PDF/A-1b or PDF/A-2b clauses a scanned document touches.

No PDF/A validator is packaged for Debian 12, so this tests, clause by clause, what our
writer and a peer must both get right: file structure, document information and its XMP
mirror, output intent, images, transparency, fonts. It is a checker of those clauses, not
a full validator.

    pdfa_check.py --part 1|2 FILE.pdf [--producer TEXT] [--same-images PLAIN.pdf]

Prints one line per failed clause ("FAIL clause: why") and exits 1 when any failed, 0 when
all held, 2 when the file cannot be opened.
"""
import argparse
import datetime
import re
import sys
import xml.etree.ElementTree as ET

import pikepdf
from pikepdf import Name

NS = {
    "x": "adobe:ns:meta/",
    "rdf": "http://www.w3.org/1999/02/22-rdf-syntax-ns#",
    "pdfaid": "http://www.aiim.org/pdfa/ns/id/",
    "xmp": "http://ns.adobe.com/xap/1.0/",
    "pdf": "http://ns.adobe.com/pdf/1.3/",
}
PDF_DATE = re.compile(r"^D:(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(Z(?:00'00'?)?|[+-]\d\d'\d\d'?)$")


def pdf_date(text):
    """The instant of a PDF date that carries a time zone, or None."""
    m = PDF_DATE.match(text)
    if not m:
        return None
    y, mo, d, h, mi, s, zone = m.group(1, 2, 3, 4, 5, 6, 7)
    if zone.startswith("Z"):
        tz = datetime.timezone.utc
    else:
        sign = 1 if zone[0] == "+" else -1
        tz = datetime.timezone(sign * datetime.timedelta(hours=int(zone[1:3]), minutes=int(zone[4:6])))
    return datetime.datetime(int(y), int(mo), int(d), int(h), int(mi), int(s), tzinfo=tz)


def xmp_date(text):
    try:
        value = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        return None
    return value if value.tzinfo else None


def xmp_value(description_list, prefix, name):
    """The value of prefix:name as an element or an attribute of any rdf:Description."""
    for desc in description_list:
        tag = "{%s}%s" % (NS[prefix], name)
        if tag in desc.attrib:
            return desc.attrib[tag]
        el = desc.find("%s:%s" % (prefix, name), NS)
        if el is not None:
            if el.text and el.text.strip():
                return el.text.strip()
            li = el.find(".//rdf:li", NS)  # a language alternative or a sequence
            if li is not None and li.text:
                return li.text.strip()
            return ""
    return None


class Checker:
    def __init__(self, path, part, producer, same_images):
        self.path = path
        self.part = part
        self.producer = producer
        self.same_images = same_images
        self.failures = []
        with open(path, "rb") as f:
            self.raw = f.read()
        self.pdf = pikepdf.open(path)

    def fail(self, clause, why):
        self.failures.append((clause, why))

    def run(self):
        for check in (self.header, self.structure, self.trailer, self.info_and_xmp,
                      self.output_intent, self.streams, self.images, self.transparency,
                      self.actions, self.fonts, self.identical_images):
            try:
                check()
            except Exception as e:  # a malformed object is a failure of the clause, not a crash
                self.fail(check.__name__, "unreadable: %r" % e)
        return self.failures

    def header(self):
        m = re.match(rb"%PDF-(\d)\.(\d)\r?\n", self.raw)
        if not m:
            return self.fail("header", "no %PDF-x.y line")
        version = (int(m.group(1)), int(m.group(2)))
        top = (1, 4) if self.part == 1 else (1, 7)
        if version > top:
            self.fail("header", "PDF %d.%d above %d.%d" % (version + top))
        comment = self.raw[m.end():m.end() + 64].split(b"\n")[0].split(b"\r")[0]
        if not (comment.startswith(b"%") and sum(b > 127 for b in comment[1:5]) == 4):
            self.fail("binary-comment", "no comment of four bytes above 127 after the header")

    def structure(self):
        if self.part == 1:
            if re.search(rb"/Type\s*/ObjStm", self.raw):
                self.fail("object-streams", "PDF/A-1 has no object streams")
            if re.search(rb"/Type\s*/XRef", self.raw):
                self.fail("xref-streams", "PDF/A-1 has no cross-reference streams")

    def trailer(self):
        trailer = self.pdf.trailer
        ids = trailer.get("/ID")
        if not isinstance(ids, pikepdf.Array) or len(ids) != 2:
            self.fail("trailer-id", "no /ID of two strings in the trailer")
        if "/Encrypt" in trailer or self.pdf.is_encrypted:
            self.fail("encryption", "the file is encrypted")

    def info_and_xmp(self):
        info = self.pdf.trailer.get("/Info")
        if info is None:
            return self.fail("info", "no document information dictionary")
        fields = {}
        for key in ("/Producer", "/CreationDate", "/ModDate"):
            if key not in info:
                self.fail("info", "no %s" % key)
            else:
                fields[key] = str(info[key])
        if self.producer and not fields.get("/Producer", "").startswith(self.producer):
            self.fail("info-producer", "Producer %r is not %s" % (fields.get("/Producer"), self.producer))
        for key in ("/CreationDate", "/ModDate"):
            if key in fields and pdf_date(fields[key]) is None:
                self.fail("info-dates", "%s %r has no time zone" % (key, fields[key]))

        meta = self.pdf.Root.get("/Metadata")
        if not isinstance(meta, pikepdf.Stream):
            return self.fail("xmp", "no XMP metadata stream in the catalog")
        if meta.get("/Type") != Name.Metadata or meta.get("/Subtype") != Name.XML:
            self.fail("xmp", "metadata stream is not /Type /Metadata /Subtype /XML")
        if "/Filter" in meta:
            self.fail("xmp-unfiltered", "the metadata stream is filtered")
        data = meta.read_bytes()
        head = re.match(rb"\s*<\?xpacket ([^?]*)\?>", data)
        if not head:
            self.fail("xmp-packet", "no xpacket header")
        elif b"bytes=" in head.group(1):
            self.fail("xmp-packet", "the xpacket header has a bytes attribute")
        if not re.search(rb"<\?xpacket end=['\"][rw]['\"]\?>\s*$", data):
            self.fail("xmp-packet", "no xpacket trailer")
        try:
            root = ET.fromstring(re.sub(rb"<\?xpacket[^?]*\?>", b"", data))
        except ET.ParseError as e:
            return self.fail("xmp", "not well-formed XML: %s" % e)
        descriptions = root.findall(".//rdf:Description", NS)
        part = xmp_value(descriptions, "pdfaid", "part")
        level = xmp_value(descriptions, "pdfaid", "conformance")
        if part != str(self.part):
            self.fail("xmp-pdfaid", "pdfaid:part %r, not %d" % (part, self.part))
        if level not in ("B", "U", "A") if self.part == 2 else level not in ("B", "A"):
            self.fail("xmp-pdfaid", "pdfaid:conformance %r" % level)
        mirror = {"/Producer": ("pdf", "Producer"), "/CreationDate": ("xmp", "CreateDate"),
                  "/ModDate": ("xmp", "ModifyDate")}
        for key, (prefix, name) in mirror.items():
            value = xmp_value(descriptions, prefix, name)
            if key not in fields:
                continue
            if value is None:
                self.fail("xmp-mirror", "%s:%s missing for %s" % (prefix, name, key))
            elif key == "/Producer":
                if value != fields[key]:
                    self.fail("xmp-mirror", "pdf:Producer %r != Producer %r" % (value, fields[key]))
            else:
                a, b = pdf_date(fields[key]), xmp_date(value)
                if a is None or b is None or a != b:
                    self.fail("xmp-mirror", "%s:%s %r != %s %r" % (prefix, name, value, key, fields[key]))

    def output_intent(self):
        intents = self.pdf.Root.get("/OutputIntents")
        found = [i for i in (intents or []) if i.get("/S") == Name.GTS_PDFA1]
        if len(found) != 1:
            return self.fail("output-intent", "%d GTS_PDFA1 output intents" % len(found))
        intent = found[0]
        if "/OutputConditionIdentifier" not in intent:
            self.fail("output-intent", "no OutputConditionIdentifier")
        profile = intent.get("/DestOutputProfile")
        if not isinstance(profile, pikepdf.Stream):
            return self.fail("output-intent-icc", "no embedded ICC profile")
        icc = profile.read_bytes()
        if len(icc) < 132 or icc[36:40] != b"acsp" or int.from_bytes(icc[:4], "big") != len(icc):
            return self.fail("output-intent-icc", "the profile is not an ICC profile")
        if icc[16:20] != b"RGB " or profile.get("/N") != 3:
            self.fail("output-intent-icc", "not an RGB profile with /N 3")
        if self.part == 1 and icc[8] >= 4:
            self.fail("output-intent-icc", "ICC version %d in PDF/A-1" % icc[8])
        self.rgb_intent = icc[16:20] == b"RGB "

    def streams(self):
        for obj in self.pdf.objects:
            if not isinstance(obj, pikepdf.Stream):
                continue
            for key in ("/F", "/FFilter", "/FDecodeParms"):
                if key in obj:
                    self.fail("stream-external", "a stream with %s" % key)
            filters = obj.get("/Filter")
            names = [filters] if isinstance(filters, pikepdf.Name) else list(filters or [])
            if Name.LZWDecode in names:
                self.fail("no-lzw", "an LZW-compressed stream")
            if self.part == 1 and Name.JPXDecode in names:
                self.fail("no-jpx", "JPEG 2000 in PDF/A-1")
        for m in re.finditer(rb"endstream", self.raw):
            if self.raw[m.start() - 1:m.start()] not in (b"\n", b"\r"):
                self.fail("endstream-eol", "endstream without an end of line before it")
                break
        for m in re.finditer(rb"stream(\r\n|\n|\r)?", self.raw):
            if self.raw[m.start() - 3:m.start()] == b"end":
                continue
            if m.group(1) not in (b"\r\n", b"\n"):
                self.fail("stream-eol", "stream keyword not followed by CRLF or LF")
                break

    def images(self):
        for n, page in enumerate(self.pdf.pages, 1):
            for name, image in page.images.items():
                if image.get("/Interpolate") is True:
                    self.fail("no-interpolate", "page %d %s interpolates" % (n, name))
                for key in ("/Alternates", "/OPI"):
                    if key in image:
                        self.fail("image-keys", "page %d %s has %s" % (n, name, key))
                space = image.get("/ColorSpace")
                if space == Name.DeviceCMYK:
                    self.fail("colour-space", "page %d %s DeviceCMYK under an RGB intent" % (n, name))
                if space == Name.DeviceRGB and not getattr(self, "rgb_intent", False):
                    self.fail("colour-space", "page %d %s DeviceRGB without an RGB intent" % (n, name))

    def transparency(self):
        for n, page in enumerate(self.pdf.pages, 1):
            group = page.obj.get("/Group")
            if group is not None and group.get("/S") == Name.Transparency:
                self.fail("no-transparency", "page %d has a transparency group" % n)
            resources = page.obj.get("/Resources", {})
            for name, image in page.images.items():
                if "/SMask" in image:
                    self.fail("no-transparency", "page %d %s has a soft mask" % (n, name))
            for name, gs in (resources.get("/ExtGState") or {}).items():
                for key in ("/CA", "/ca"):
                    if key in gs and float(gs[key]) != 1.0:
                        self.fail("no-transparency", "page %d %s %s %s" % (n, name, key, gs[key]))
                if "/SMask" in gs and gs["/SMask"] != Name("/None"):
                    self.fail("no-transparency", "page %d %s has a soft mask" % (n, name))
                if gs.get("/BM") not in (None, Name.Normal, Name.Compatible):
                    self.fail("no-transparency", "page %d %s blend mode %s" % (n, name, gs["/BM"]))

    def actions(self):
        root = self.pdf.Root
        if "/AA" in root or "/JavaScript" in (root.get("/Names") or {}):
            self.fail("no-actions", "the catalog has actions or JavaScript")
        if self.part == 1 and "/EmbeddedFiles" in (root.get("/Names") or {}):
            self.fail("no-embedded-files", "PDF/A-1 embeds no files")

    def fonts(self):
        # Every font a page uses is embedded; a PDF/A-1 CID font lists its glyphs in a CIDSet.
        for n, page in enumerate(self.pdf.pages, 1):
            resources = page.obj.get("/Resources", {})
            for name, font in (resources.get("/Font") or {}).items():
                fonts = [font] + list(font.get("/DescendantFonts") or [])
                for f in fonts:
                    if f.get("/Subtype") in (Name.Type0, Name.Type3):
                        continue
                    desc = f.get("/FontDescriptor")
                    if desc is None or not any(k in desc for k in ("/FontFile", "/FontFile2", "/FontFile3")):
                        self.fail("fonts-embedded", "page %d font %s is not embedded" % (n, name))
                    elif self.part == 1 and f.get("/Subtype") in (Name.CIDFontType0, Name.CIDFontType2) \
                            and "/CIDSet" not in desc:
                        self.fail("fonts-cidset", "page %d font %s has no CIDSet" % (n, name))

    def identical_images(self):
        if not self.same_images:
            return
        plain = pikepdf.open(self.same_images)
        ours, theirs = list(self.pdf.pages), list(plain.pages)
        if len(ours) != len(theirs):
            return self.fail("same-images", "%d pages, the plain PDF has %d" % (len(ours), len(theirs)))
        for n, (a, b) in enumerate(zip(ours, theirs), 1):
            ia = [i.read_raw_bytes() for i in a.images.values()]
            ib = [i.read_raw_bytes() for i in b.images.values()]
            if ia != ib:
                self.fail("same-images", "page %d image bytes differ from the plain PDF" % n)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--part", type=int, choices=(1, 2), required=True)
    parser.add_argument("--producer")
    parser.add_argument("--same-images")
    parser.add_argument("file")
    args = parser.parse_args()
    try:
        failures = Checker(args.file, args.part, args.producer, args.same_images).run()
    except (OSError, pikepdf.PdfError) as e:
        print("cannot open %s: %s" % (args.file, e))
        return 2
    for clause, why in failures:
        print("FAIL %s: %s" % (clause, why))
    if not failures:
        print("PDF/A-%db clauses hold: %s" % (args.part, args.file))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
