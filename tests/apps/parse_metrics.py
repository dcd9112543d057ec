#!/usr/bin/env python3
"""Parses a Prometheus text exposition with the reference Python client's parser and prints one
line per sample: NAME TAB LABELS-AS-JSON TAB VALUE (repr). Fails on text the parser refuses."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

with open(sys.argv[1], encoding="utf-8") as f:
    text = f.read()
for family in text_string_to_metric_families(text):
    for sample in family.samples:
        print(f"{family.type}\t{sample.name}\t{json.dumps(sample.labels, sort_keys=True)}\t{sample.value!r}")
