"""vantrel: quantitative research tools."""
