#include "core/agentstatus.h"

TAgentStatus AgentStatus = {"ZoQvTAStRec",
                            1,
                            "Zo Farwatcher",
                            "Linux (Red Hat, Mandrake, SuSE)",
                            "1.29",
                            "Zo-Soft (http://www.zo-soft.example)",
                            0,
                            0,
                            {0},
                            {0},
                            {0}};
