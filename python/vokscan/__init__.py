"""vokscan: genome-scale binding-site scanning on the vok scoring core."""
