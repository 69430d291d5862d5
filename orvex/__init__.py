"""Native helpers of the mail appliance: parcel comparison and hashing, and
the loose SMTP address parser."""
