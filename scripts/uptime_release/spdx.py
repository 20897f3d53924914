"""The release's bill of materials, SPDX 2.3 JSON: written from what each
artifact is made of, and read back strictly for the commit it names.
Own code: Debian 12 and 13 ship no Python SPDX library (only licence lists),
and the document is plain JSON that the standard library writes."""

import hashlib
import json
import re
import time
import uuid

from .errors import FormatError

NAME = "uptime-report"
SUPPLIER = "Organization: The uptime-report developers"
OWN_LICENCE = "MIT"
LIMIT = 4 << 20


def _id(text):
    return "SPDXRef-" + "".join(c if c.isalnum() or c in ".-" else "-" for c in text)


def write(artifacts, version, commit, epoch):
    """The document as text. ARTIFACTS: [(name, sha256, components or None
    for the source archive)], components as the notices list them."""
    packages, relationships, described, components, source_id = [], [], [], {}, None
    for artifact, digest, contained in artifacts:
        artifact_id = _id("Artifact-" + artifact)
        described.append(artifact_id)
        licences = [OWN_LICENCE] + [c["license"] for c in contained or []]
        concluded = " AND ".join(dict.fromkeys(f"({l})" if " " in l and len(licences) > 1 else l for l in licences))
        packages.append(
            {
                "SPDXID": artifact_id,
                "name": artifact,
                "packageFileName": artifact,
                "versionInfo": version,
                "supplier": SUPPLIER,
                "downloadLocation": "NOASSERTION",
                "filesAnalyzed": False,
                "checksums": [{"algorithm": "SHA256", "checksumValue": digest}],
                "licenseDeclared": OWN_LICENCE,
                "licenseConcluded": concluded,
                "copyrightText": "2026 The uptime-report developers",
                "primaryPackagePurpose": "SOURCE" if contained is None else "INSTALL",
            }
        )
        if contained is None:
            source_id = artifact_id
        for c in contained or []:
            component_id = _id(f"Component-{c['package']}-{c['version']}")
            arch = c["package"].partition(":")[2]
            components[component_id] = {
                "SPDXID": component_id,
                "name": c["name"],
                "versionInfo": c["version"],
                "supplier": "Organization: Debian",
                "downloadLocation": "NOASSERTION",
                "filesAnalyzed": False,
                "licenseDeclared": c["license"],
                "licenseConcluded": c["license"],
                "copyrightText": "NOASSERTION",
                "sourceInfo": f"Debian package {c['package']} {c['version']}, from source "
                f"package {c['source']}; linked: {'; '.join(c['files'])}",
                "externalRefs": [
                    {
                        "referenceCategory": "PACKAGE-MANAGER",
                        "referenceType": "purl",
                        "referenceLocator": f"pkg:deb/debian/{c['package'].partition(':')[0]}@"
                        f"{c['version']}" + (f"?arch={arch}" if arch else ""),
                    }
                ],
                "primaryPackagePurpose": "LIBRARY",
            }
            relationships.append(
                {"spdxElementId": artifact_id, "relationshipType": "CONTAINS", "relatedSpdxElement": component_id}
            )
    for artifact_id in described:
        relationships.insert(
            0, {"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES", "relatedSpdxElement": artifact_id}
        )
        if source_id and artifact_id != source_id:
            relationships.append(
                {"spdxElementId": artifact_id, "relationshipType": "GENERATED_FROM", "relatedSpdxElement": source_id}
            )
    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"{NAME}-{version}",
        "comment": f"The release of {NAME} {version} from commit {commit}.",
        "creationInfo": {
            "created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
            "creators": ["Tool: scripts/release.sh", SUPPLIER],
        },
        "packages": packages + [components[k] for k in sorted(components)],
        "relationships": relationships,
    }
    # The namespace names this very document: it is derived from everything
    # else in it, so that two documents that differ in anything (signed or
    # not, another source) never share one.
    content = json.dumps(document, sort_keys=True).encode()
    document["documentNamespace"] = "urn:uuid:" + str(
        uuid.uuid5(uuid.NAMESPACE_URL, f"{NAME}/sha256/{hashlib.sha256(content).hexdigest()}")
    )
    return json.dumps(document, indent=1, sort_keys=True) + "\n"


def _no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError(f"a key given twice in one object: {sorted(k for k in keys if keys.count(k) > 1)[0]}")
    return dict(pairs)


def read_commit(data, name):
    """The commit the document says the release is of."""
    if len(data) > LIMIT:
        raise FormatError(name, 0, f"holds {len(data)} bytes; the document is far smaller")
    try:
        document = json.loads(data.decode("utf-8"), object_pairs_hook=_no_duplicates)
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        raise FormatError(name, 0, f"is not a JSON document: {error}")
    comment = document.get("comment") if isinstance(document, dict) else None
    match = re.fullmatch(
        rf"The release of {NAME} \S+ from commit ([0-9a-f]{{40}}|[0-9a-f]{{64}})\.",
        comment if isinstance(comment, str) else "",
    )
    if document.get("spdxVersion") != "SPDX-2.3" or not match:
        raise FormatError(name, 0, "is not the release's SPDX 2.3 document naming its commit")
    return match[1]
